#include "tlm_builder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace tlm {

namespace {

// Label bytes 4-11: SFDU version 3 (binary length), class I, data description
// identifier; bytes 12-17 are the upper bytes of the 8-byte binary length field.
constexpr char kLabelMiddle[] = "3IF0M009";

// Header block and data block types. Readers follow only the lengths.
constexpr uint16_t kAggregationType = 1;
constexpr uint16_t kBlockTypes[3] = {2, 73, 27};
constexpr uint16_t kDataBlockType = 10;

uint16_t checked16(size_t value, const char* what) {
  if (value > 0xFFFF) {
    throw std::length_error(std::string(what) + " " + std::to_string(value) +
                            " does not fit in 16 bits");
  }
  return static_cast<uint16_t>(value);
}

void set_be16(std::vector<uint8_t>& out, size_t at, uint16_t value) {
  out[at] = static_cast<uint8_t>(value >> 8);
  out[at + 1] = static_cast<uint8_t>(value);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::vector<uint8_t> record(const Packet& packet, const Framing& framing) {
  std::vector<uint8_t> out;
  out.reserve(kLabelSize + 32 + framing.l1 + framing.l2 + framing.l3 + packet.data.size() +
              framing.extra.size());

  // SFDU label; L is filled in at the end.
  for (size_t i = 0; i < 4; ++i) {
    out.push_back(i < framing.authority.size() ? static_cast<uint8_t>(framing.authority[i])
                                               : static_cast<uint8_t>(' '));
  }
  for (size_t i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(kLabelMiddle[i]));
  out.insert(out.end(), 6, 0);
  put_be16(out, 0);

  // Aggregation block header.
  const size_t blocks_size = 12u + framing.l1 + framing.l2 + framing.l3;
  put_be16(out, kAggregationType);
  put_be16(out, framing.aggregation_length ? *framing.aggregation_length
                                           : checked16(blocks_size, "aggregation length"));

  // Header blocks 1 and 2: bodies of zeros.
  put_be16(out, kBlockTypes[0]);
  put_be16(out, framing.l1);
  out.insert(out.end(), framing.l1, 0);
  put_be16(out, kBlockTypes[1]);
  put_be16(out, framing.l2);
  out.insert(out.end(), framing.l2, 0);

  // Header block 3: fill flag in body byte 0 bit 7, pre-fill size at body bytes
  // 4-5 (as much of them as the body holds).
  const size_t packet_size = kPacketHeaderSize + packet.data.size();
  const uint16_t prefill =
      packet.prefill_size ? *packet.prefill_size : static_cast<uint16_t>(packet_size);
  put_be16(out, kBlockTypes[2]);
  put_be16(out, framing.l3);
  const size_t block3 = out.size();
  out.insert(out.end(), framing.l3, 0);
  if (framing.l3 > 0 && packet.fill) out[block3] = 0x80;
  if (framing.l3 > 4) out[block3 + 4] = static_cast<uint8_t>(prefill >> 8);
  if (framing.l3 > 5) out[block3 + 5] = static_cast<uint8_t>(prefill);

  // Data block header.
  put_be16(out, kDataBlockType);
  put_be16(out, static_cast<uint16_t>(packet_size));

  // CCSDS packet: secondary header flag set, version and type 0.
  put_be16(out, static_cast<uint16_t>(0x0800 | (packet.apid & 0x07FF)));
  put_be16(out, static_cast<uint16_t>(((packet.flags & 3u) << 14) | (packet.count & 0x3FFFu)));
  put_be16(out, packet.length_field ? *packet.length_field
                                    : static_cast<uint16_t>(packet.data.size() + 4));
  put_be32(out, packet.seconds);
  out.push_back(packet.subseconds);
  out.insert(out.end(), packet.data.begin(), packet.data.end());
  out.insert(out.end(), framing.extra.begin(), framing.extra.end());

  set_be16(out, 18,
           framing.body_length ? *framing.body_length
                               : checked16(out.size() - kLabelSize, "body length"));
  if (framing.truncate && *framing.truncate < out.size()) out.resize(*framing.truncate);
  return out;
}

Builder& Builder::add(const Packet& packet, const Framing& framing) {
  const std::vector<uint8_t> r = record(packet, framing);
  bytes_.insert(bytes_.end(), r.begin(), r.end());
  ++records_;
  return *this;
}

Builder& Builder::raw(std::vector<uint8_t> bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

void Builder::write(const std::string& path) const {
  write_file(path, bytes_);
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    throw std::runtime_error(path + ": cannot create: " + std::strerror(errno));
  }
  const size_t written = bytes.empty() ? 0 : std::fwrite(bytes.data(), 1, bytes.size(), f);
  const int write_errno = errno;
  const bool write_ok = written == bytes.size() && std::fflush(f) == 0;
  const int flush_errno = errno;
  const bool close_ok = std::fclose(f) == 0;
  if (!write_ok || !close_ok) {
    const int e = written != bytes.size() ? write_errno : flush_errno;
    std::remove(path.c_str());
    throw std::runtime_error(path + ": write failed: " + std::strerror(e != 0 ? e : EIO));
  }
}

void put_be16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

void put_be32(std::vector<uint8_t>& out, uint32_t value) {
  put_be16(out, static_cast<uint16_t>(value >> 16));
  put_be16(out, static_cast<uint16_t>(value));
}

void put_be64(std::vector<uint8_t>& out, uint64_t value) {
  put_be32(out, static_cast<uint32_t>(value >> 32));
  put_be32(out, static_cast<uint32_t>(value));
}

void put_be_double(std::vector<uint8_t>& out, double value) {
  static_assert(sizeof(double) == 8 && std::numeric_limits<double>::is_iec559);
  put_be64(out, std::bit_cast<uint64_t>(value));
}

std::vector<uint8_t> ramp(size_t n, uint8_t start) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>((start + i) & 0xFF);
  return out;
}

std::vector<uint8_t> hex(std::string_view text) {
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
  }
  std::vector<uint8_t> out;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '_' || c == ':') continue;
    const int d = hex_digit(c);
    if (d < 0) {
      throw std::invalid_argument(std::string("bad hex character '") + c + "'");
    }
    if (high < 0) {
      high = d;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | d));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd number of hex digits");
  return out;
}

namespace {

// One 52-byte Concentrator housekeeping record: SCLK seconds (u32), SCLK
// subseconds (u16), then 23 u16 words: status words and 12-bit readbacks.
void put_con_hk_record(std::vector<uint8_t>& out, uint32_t sclk, uint16_t sub, unsigned n) {
  put_be32(out, sclk);
  put_be16(out, sub);
  put_be16(out, static_cast<uint16_t>(0x8100 | n));  // status word
  put_be16(out, 0x0003);                             // mode word
  for (unsigned i = 0; i < 21; ++i) {
    // Voltage and temperature readbacks, 0-4095 counts.
    put_be16(out, static_cast<uint16_t>((1024 + 131 * i + 17 * n) % 4096));
  }
}

// One 46-byte GEM housekeeping record: SCLK seconds, subseconds, then 20 u16 words.
void put_gem_hk_record(std::vector<uint8_t>& out, uint32_t sclk, uint16_t sub, unsigned n) {
  put_be32(out, sclk);
  put_be16(out, sub);
  put_be16(out, static_cast<uint16_t>(0x0205));  // APID status
  put_be16(out, 12);                             // start level
  put_be16(out, 3);                              // step size
  for (unsigned i = 0; i < 17; ++i) {
    put_be16(out, static_cast<uint16_t>((300 + 211 * i + 5 * n) % 4096));
  }
}

// A count that peaks at level `center`, as an ion spectrum does.
uint8_t peak_count(double level, double center, double scale) {
  const double x = (level - center) / 4.0;
  return static_cast<uint8_t>(scale * std::exp(-x * x));
}

// One GIM housekeeping record (66 bytes): as GEM's, with ten voltage levels.
void put_gim_hk_record(std::vector<uint8_t>& out, uint32_t sclk, uint16_t sub, unsigned n) {
  put_be32(out, sclk);
  put_be16(out, sub);
  put_be16(out, 0x0107);  // APID status
  put_be16(out, 40);      // start level
  put_be16(out, 5);       // step size
  for (unsigned i = 0; i < 27; ++i) {
    put_be16(out, static_cast<uint16_t>((500 + 97 * i + 7 * n) % 4096));
  }
}

// One manual/calibration record: time, five words, then the counts of
// `cems` CEMs over `levels` levels, and `pad` unused bytes.
void put_mancal_record(std::vector<uint8_t>& out, uint32_t sclk, unsigned cems, unsigned levels,
                       size_t pad) {
  put_be32(out, sclk);
  for (uint16_t w :
       {uint16_t{0x4000}, uint16_t{0x0001}, uint16_t{250}, uint16_t{100}, uint16_t{20}}) {
    put_be16(out, w);
  }
  for (unsigned c = 0; c < cems; ++c) {
    for (unsigned l = 0; l < levels; ++l) out.push_back(peak_count(l, levels / 2.0, 60 + 10 * c));
  }
  out.insert(out.end(), pad, 0);
}

// The head of a normal or diagnostic record: status, four spins of time,
// step time, level and step size, integration and settling times, then the
// ESA levels of the cycle.
void put_spin_head(std::vector<uint8_t>& out, uint32_t sclk, unsigned levels) {
  put_be16(out, 0x0008);
  for (unsigned s = 0; s < 4; ++s) {
    put_be32(out, sclk + s);
    put_be16(out, static_cast<uint16_t>(0x4000 * s));
    put_be16(out, 625);
    put_be16(out, static_cast<uint16_t>(3000 - 20 * s));
    put_be16(out, 300);
  }
  put_be16(out, 200);
  put_be16(out, 30);
  for (unsigned l = 0; l < levels; ++l) put_be16(out, static_cast<uint16_t>(4000 - 90 * l));
}

// Counts of `groups` sectors (or mask elements) by `levels` levels, level
// fastest, with a peak that moves with n.
void put_count_cube(std::vector<uint8_t>& out, unsigned groups, unsigned levels, unsigned n) {
  for (unsigned g = 0; g < groups; ++g) {
    for (unsigned l = 0; l < levels; ++l) {
      out.push_back(peak_count(l, levels / 3.0 + n, 40 + 150 * std::sin(3.14159 * g / groups)));
    }
  }
}

// A raw record: time, 2 unused bytes, then per sector its start level, step
// size, step time and angle, and per voltage level two readbacks and one
// 16-bit count per CEM.
void put_raw_record(std::vector<uint8_t>& out, uint32_t sclk, unsigned sectors, unsigned levels,
                    unsigned cems) {
  put_be32(out, sclk);
  put_be16(out, 0x2000);
  put_be16(out, 0);
  for (unsigned a = 0; a < sectors; ++a) {
    put_be16(out, 12);
    put_be16(out, 3);
    put_be16(out, 625);
    put_be16(out, static_cast<uint16_t>(a * 65536 / sectors));
    for (unsigned v = 0; v < levels; ++v) {
      put_be16(out, static_cast<uint16_t>(3000 - 100 * v));
      put_be16(out, static_cast<uint16_t>(2990 - 100 * v));
      for (unsigned c = 0; c < cems; ++c) put_be16(out, peak_count(v, levels / 2.0, 100 + a + c));
    }
  }
}

void put_be_float(std::vector<uint8_t>& out, float value) {
  put_be32(out, std::bit_cast<uint32_t>(value));
}

// One 144-byte MEC/WIND housekeeping record.
void put_mec_hk_record(std::vector<uint8_t>& out, uint32_t sclk, unsigned n) {
  put_be32(out, sclk);
  put_be16(out, 0x8000);
  put_be16(out, 0x0011);  // flags
  for (uint8_t b : {uint8_t{7}, uint8_t{3}, uint8_t{0}, uint8_t{12}, uint8_t{4}, uint8_t{2}}) {
    out.push_back(b);
  }
  put_be16(out, 0x0002);                                                      // regime flags
  for (unsigned i = 0; i < 22; ++i) put_be_float(out, 1.5f * i + 0.25f * n);  // moments
  put_be32(out, sclk - 3600);                                                 // time of shock
  put_be32(out, sclk - 7200);                                                 // time of CME
  for (float f : {2.5e3f, 1.0e1f, 4.0e2f}) put_be_float(out, f);
  for (uint16_t w : {uint16_t{14}, uint16_t{22}, uint16_t{28}, uint16_t{512}}) put_be16(out, w);
  put_be_float(out, 0.5f);
  put_be_float(out, 2.5e3f);
  put_be32(out, 0);
}

// One 168-byte MEC/WIND F1D record: the ion distribution over 40 levels.
void put_mec_f1d_record(std::vector<uint8_t>& out, uint32_t sclk, unsigned n) {
  put_be32(out, sclk);
  put_be16(out, 0);
  put_be16(out, 0);
  for (unsigned l = 0; l < 40; ++l) {
    const double x = (l - 14.0 - n) / 3.0;
    put_be_float(out, static_cast<float>(1e4 * std::exp(-x * x) +
                                         1e3 * std::exp(-(l - 28.0) * (l - 28.0) / 8)));
  }
}

// One 40-byte star-tracker record: four quaternion components and a time.
void put_quat(std::vector<uint8_t>& out, double q0, double q1, double q2, double q3, double t) {
  put_be_double(out, q0);
  put_be_double(out, q1);
  put_be_double(out, q2);
  put_be_double(out, q3);
  put_be_double(out, t);
}

}  // namespace

std::vector<uint8_t> sample_tlm() {
  constexpr uint32_t t0 = 123456780;
  Builder b;

  // Concentrator housekeeping, two records.
  {
    Packet p{.apid = 25, .flags = 3, .count = 100, .seconds = t0, .subseconds = 0};
    put_con_hk_record(p.data, t0 - 2, 0x4000, 0);
    put_con_hk_record(p.data, t0 - 1, 0x4000, 1);
    b.add(p);
  }
  // Star tracker, two quaternions; all components are exact ratios of a
  // Pythagorean quadruple, so each quaternion has unit norm.
  {
    Packet p{.apid = 27, .flags = 3, .count = 7, .seconds = t0 + 1, .subseconds = 32};
    put_quat(p.data, 0.2, 0.4, 0.4, 0.8, 123456780.5);
    put_quat(p.data, 0.5, -0.5, 0.5, 0.5, 123456780.75);
    b.add(p);
  }
  // GEM housekeeping, two 46-byte records.
  {
    Packet p{.apid = 32, .flags = 3, .count = 12, .seconds = t0 + 2, .subseconds = 64};
    put_gem_hk_record(p.data, t0 + 1, 0x8000, 0);
    put_gem_hk_record(p.data, t0 + 2, 0x0000, 1);
    b.add(p);
  }
  // Concentrator housekeeping, one record.
  {
    Packet p{.apid = 25, .flags = 3, .count = 101, .seconds = t0 + 4, .subseconds = 128};
    put_con_hk_record(p.data, t0 + 3, 0x8000, 2);
    b.add(p);
  }
  // Concentrator housekeeping that reached the ground incomplete: only its first
  // 30 bytes of user data were received, the rest is zero fill.
  {
    Packet p{.apid = 25, .flags = 3, .count = 102, .seconds = t0 + 6, .subseconds = 0};
    put_con_hk_record(p.data, t0 + 5, 0x0000, 3);
    put_con_hk_record(p.data, t0 + 6, 0x0000, 4);
    std::fill(p.data.begin() + 30, p.data.end(), 0);
    p.fill = true;
    p.prefill_size = static_cast<uint16_t>(kPacketHeaderSize + 30);
    b.add(p);
  }
  // Star tracker, three quaternions.
  {
    Packet p{.apid = 27, .flags = 3, .count = 8, .seconds = t0 + 7, .subseconds = 0};
    put_quat(p.data, -2.0 / 7, 3.0 / 7, 0.0, 6.0 / 7, 123456786.25);
    put_quat(p.data, 1.0 / 9, 0.0, -4.0 / 9, 8.0 / 9, 123456786.5);
    put_quat(p.data, 0.0, 3.0 / 13, 4.0 / 13, 12.0 / 13, 123456786.75);
    b.add(p);
  }
  // Star tracker, one quaternion.
  {
    Packet p{.apid = 27, .flags = 3, .count = 9, .seconds = t0 + 9, .subseconds = 200};
    put_quat(p.data, 2.0 / 3, -1.0 / 3, 0.0, 2.0 / 3, 123456788.5);
    b.add(p);
  }
  // The science units: for each product two records (one of GIM raw and
  // diagnostic), segmented products as their instruments send them.
  auto segments = [&b](uint16_t apid, uint16_t count, uint32_t seconds,
                       const std::vector<uint8_t>& record, size_t parts) {
    for (size_t k = 0; k < parts; ++k) {
      Packet p{.apid = apid,
               .flags = static_cast<uint8_t>(k == 0           ? 1
                                             : k + 1 == parts ? 2
                                                              : 0),
               .count = static_cast<uint16_t>(count + k),
               .seconds = seconds};
      p.data.assign(record.begin() + static_cast<long>(record.size() * k / parts),
                    record.begin() + static_cast<long>(record.size() * (k + 1) / parts));
      b.add(p);
    }
  };
  for (unsigned n = 0; n < 2; ++n) {
    const uint32_t t = t0 + 10 + 8 * n;
    std::vector<uint8_t> rec;
    put_mancal_record(rec, t, 7, 5, 1);
    b.add(Packet{.apid = 33, .count = static_cast<uint16_t>(20 + n), .seconds = t, .data = rec});
    rec.clear();
    put_spin_head(rec, t, 20);
    put_count_cube(rec, 24 * 7, 20, n);
    segments(31, static_cast<uint16_t>(30 + 2 * n), t + 1, rec, 2);
    rec.clear();
    put_gim_hk_record(rec, t + 2, 0x8000, n);
    b.add(
        Packet{.apid = 29, .count = static_cast<uint16_t>(40 + n), .seconds = t + 2, .data = rec});
    rec.clear();
    put_mancal_record(rec, t + 3, 8, 10, 0);
    b.add(
        Packet{.apid = 30, .count = static_cast<uint16_t>(50 + n), .seconds = t + 3, .data = rec});
    rec.clear();
    put_spin_head(rec, t + 4, 40);
    rec.push_back(3);   // mask table
    rec.push_back(17);  // peak sector
    put_count_cube(rec, 80, 40, n);
    segments(28, static_cast<uint16_t>(60 + 2 * n), t + 4, rec, 2);
    rec.clear();
    put_mec_hk_record(rec, t + 5, n);
    b.add(
        Packet{.apid = 24, .count = static_cast<uint16_t>(70 + n), .seconds = t + 5, .data = rec});
    rec.clear();
    put_mec_f1d_record(rec, t + 6, n);
    b.add(
        Packet{.apid = 26, .count = static_cast<uint16_t>(80 + n), .seconds = t + 6, .data = rec});
  }
  {
    std::vector<uint8_t> rec;
    put_raw_record(rec, t0 + 30, 24, 5, 7);
    segments(41, 90, t0 + 30, rec, 2);
    rec.clear();
    put_raw_record(rec, t0 + 31, 40, 10, 8);
    segments(42, 16383, t0 + 31, rec, 3);  // the count wraps to 0 and 1
    rec.clear();
    put_spin_head(rec, t0 + 32, 40);
    put_count_cube(rec, 40 * 8, 40, 1);
    segments(34, 100, t0 + 32, rec, 3);
  }
  return b.bytes();
}

}  // namespace tlm
