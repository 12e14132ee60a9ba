// fuzz_tlm: runs the real hlc_edr program on generated and mutated TLM files
// and reports every run that crashes, hangs, exits with a status other than 0
// or 255, or whose standard error carries a sanitizer report.
//
//   fuzz_tlm --program PATH --iterations N --seed S --workdir DIR
//            [--corpus DIR] [--timeout SECONDS]
//
// Each input is written to DIR/in.tlm and run as
//   PATH -inst gem|gim|con|mec|acs -tlm DIR/in.tlm -edr DIR/out.hdf
// with the instrument word cycling. Corpus files are run first, each once per
// instrument word. A failing input is kept as DIR/finding-<n>.tlm with the
// run's output beside it. Exit status: 0 without findings, 1 with findings,
// 2 for a usage or setup error. The inputs depend only on the seed.
//
// Memory that HDF4 holds for a work file left open by a fatal exit is not a
// finding: run under LSAN_OPTIONS=suppressions=tests/support/lsan.supp, as the tests do.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tlm_builder.h"

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------
// Instruments and the packet kinds they own.

struct Product {
  uint16_t apid;
  size_t size;  // record size in user-data bytes
  int parts;    // 1 fixed records, 2 first + last, 3 first + middles + last
};

constexpr std::array<Product, 13> kProducts = {{
    {32, 46, 1},
    {33, 50, 1},
    {31, 3454, 2},
    {41, 2360, 2},
    {29, 66, 1},
    {30, 94, 1},
    {28, 3336, 2},
    {34, 12934, 3},
    {42, 8328, 3},
    {25, 52, 1},
    {24, 144, 1},
    {26, 168, 1},
    {27, 40, 1},
}};

constexpr std::array<const char*, 5> kInstruments = {"gem", "gim", "con", "mec", "acs"};

const std::vector<uint16_t>& instrument_apids(size_t inst) {
  static const std::array<std::vector<uint16_t>, 5> apids = {{
      {31, 32, 33, 41},
      {28, 29, 30, 34, 42},
      {25},
      {24, 26},
      {27},
  }};
  return apids[inst];
}

// APIDs that no instrument handles.
constexpr std::array<uint16_t, 6> kOtherApids = {0, 1, 23, 35, 40, 2047};

constexpr size_t kBufferSize = 32768;  // the reader's packet buffer

const Product* product(uint16_t apid) {
  for (const Product& p : kProducts) {
    if (p.apid == apid) return &p;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Random source. Only the raw 64-bit outputs of mt19937_64 are used, so the
// inputs are the same with every standard library.

class Rng {
 public:
  explicit Rng(uint64_t seed) : engine_(seed) {}
  uint64_t next() { return engine_(); }
  uint64_t below(uint64_t n) { return n == 0 ? 0 : engine_() % n; }
  // Inclusive range.
  uint64_t range(uint64_t lo, uint64_t hi) { return hi <= lo ? lo : lo + below(hi - lo + 1); }
  bool chance(unsigned num, unsigned den) { return below(den) < num; }
  template <class T>
  const T& pick(const T* items, size_t n) {
    return items[below(n)];
  }
  std::vector<uint8_t> bytes(size_t n) {
    std::vector<uint8_t> out(n);
    for (uint8_t& b : out) b = static_cast<uint8_t>(engine_());
    return out;
  }
  // Mostly small sizes, sometimes large ones.
  size_t size(size_t small, size_t large) {
    return chance(3, 4) ? static_cast<size_t>(below(small + 1))
                        : static_cast<size_t>(below(large + 1));
  }

 private:
  std::mt19937_64 engine_;
};

uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// ---------------------------------------------------------------------------
// Input generation.

struct RecordInfo {
  size_t start;
  size_t size;
  tlm::Framing framing;
  size_t data_size;
};

struct Input {
  std::vector<uint8_t> bytes;
  std::vector<RecordInfo> records;
  std::string kind;
};

class Generator {
 public:
  Generator(uint64_t seed, size_t inst) : rng_(seed), inst_(inst) {
    clock_ =
        static_cast<uint32_t>(rng_.chance(1, 8) ? rng_.next() : 100000000 + rng_.below(1u << 28));
  }

  Input make() {
    Input in;
    const uint64_t r = rng_.below(100);
    if (r < 25) {
      in.kind = "well-formed";
      well_formed(in, rng_.range(1, 12));
    } else if (r < 55) {
      in.kind = "mutated";
      well_formed(in, rng_.range(1, 10));
      mutate(in);
    } else if (r < 72) {
      in.kind = "broken framing";
      broken_file(in);
    } else if (r < 82) {
      in.kind = "random after label";
      random_after_label(in);
    } else if (r < 93) {
      in.kind = "random bytes";
      pure_random(in);
    } else {
      in.kind = "edge";
      edge(in);
    }
    return in;
  }

 private:
  void add(Input& in, const tlm::Packet& p, const tlm::Framing& f = {}) {
    std::vector<uint8_t> r;
    try {
      r = tlm::record(p, f);
    } catch (const std::length_error&) {
      return;  // a default length that does not fit; leave the record out
    }
    in.records.push_back({in.bytes.size(), r.size(), f, p.data.size()});
    in.bytes.insert(in.bytes.end(), r.begin(), r.end());
  }

  uint16_t pick_apid() {
    if (rng_.chance(7, 10)) {
      const auto& own = instrument_apids(inst_);
      return own[rng_.below(own.size())];
    }
    if (rng_.chance(1, 6)) return rng_.pick(kOtherApids.data(), kOtherApids.size());
    return rng_.pick(kProducts.data(), kProducts.size()).apid;
  }

  void tick() {
    clock_ += static_cast<uint32_t>(rng_.range(0, 3));
    sub_ = static_cast<uint8_t>(rng_.next());
  }

  // A valid-looking framing with random header block lengths.
  tlm::Framing framing() {
    tlm::Framing f;
    if (rng_.chance(1, 2)) {
      f.l1 = static_cast<uint16_t>(rng_.range(0, 40));
      f.l2 = static_cast<uint16_t>(rng_.range(0, 40));
      f.l3 = static_cast<uint16_t>(rng_.range(6, 40));
    }
    return f;
  }

  tlm::Packet packet(uint16_t apid, uint8_t flags, size_t data_size) {
    tlm::Packet p;
    p.apid = apid;
    p.flags = flags;
    p.count = next_count(apid);
    p.seconds = clock_;
    p.subseconds = sub_;
    p.data = apid == 27 ? quaternions(data_size) : rng_.bytes(data_size);
    if (rng_.chance(1, 12)) {
      p.fill = true;
      if (rng_.chance(1, 2)) p.prefill_size = static_cast<uint16_t>(rng_.range(0, 11 + data_size));
    }
    return p;
  }

  uint16_t next_count(uint16_t apid) {
    uint16_t& c = counts_[apid & 0x7FF];
    c = static_cast<uint16_t>((c + 1) & 0x3FFF);
    return c;
  }

  double interesting_double() {
    static constexpr double values[] = {0.0,    -0.0,  1.0, -1.0, 0.5,    1e300,       -1e300,
                                        1e-320, 1e308, 4e9, -4e9, 2.5e15, 123456789.5, -0.75};
    switch (rng_.below(4)) {
      case 0:
        return values[rng_.below(std::size(values))];
      case 1:
        return std::numeric_limits<double>::quiet_NaN();
      case 2:
        return rng_.chance(1, 2) ? std::numeric_limits<double>::infinity()
                                 : -std::numeric_limits<double>::infinity();
      default:
        return std::bit_cast<double>(rng_.next());
    }
  }

  // Star-tracker user data: five big-endian doubles per 40 bytes, mostly sane.
  std::vector<uint8_t> quaternions(size_t n) {
    std::vector<uint8_t> out;
    while (out.size() + 8 <= n) {
      const size_t slot = (out.size() / 8) % 5;
      double v;
      if (rng_.chance(1, 10)) {
        v = interesting_double();
      } else if (slot < 4) {
        v = static_cast<double>(rng_.below(2000001)) / 1e6 - 1.0;
      } else {
        v = clock_ + static_cast<double>(rng_.below(256)) / 256.0;
      }
      tlm::put_be_double(out, v);
    }
    while (out.size() < n) out.push_back(static_cast<uint8_t>(rng_.next()));
    return out;
  }

  // Splits total into parts positive sizes (total >= parts).
  std::vector<size_t> split(size_t total, size_t parts) {
    std::vector<size_t> cuts;
    for (size_t i = 1; i < parts; ++i) cuts.push_back(rng_.range(1, total - 1));
    std::sort(cuts.begin(), cuts.end());
    std::vector<size_t> sizes;
    size_t prev = 0;
    for (size_t c : cuts) {
      sizes.push_back(c - prev);
      prev = c;
    }
    sizes.push_back(total - prev);
    return sizes;
  }

  size_t wrong_size(size_t n) {
    switch (rng_.below(4)) {
      case 0:
        return 0;
      case 1:
        return n + 1;
      case 2:
        return n > 1 ? n - 1 : 3;
      default:
        return rng_.range(0, 3 * n);
    }
  }

  // One packet kind's worth of packets: a fixed-record packet, a segmented
  // record, or a quaternion packet, mostly right, sometimes wrong.
  void event(Input& in) {
    tick();
    const uint16_t apid = pick_apid();
    const Product* prod = product(apid);
    if (prod == nullptr) {
      add(in, packet(apid, static_cast<uint8_t>(rng_.below(4)), rng_.size(64, 2000)), framing());
      return;
    }
    const uint8_t flags = rng_.chance(5, 6) ? 3 : static_cast<uint8_t>(rng_.below(4));
    if (prod->parts == 1) {
      const size_t n = rng_.chance(4, 5) ? prod->size * rng_.range(1, 4) : wrong_size(prod->size);
      add(in, packet(apid, flags, n), framing());
      return;
    }
    segmented(in, *prod);
  }

  void segmented(Input& in, const Product& prod) {
    const bool wrong_total = rng_.chance(1, 8);
    const size_t total = wrong_total ? std::max<size_t>(2, wrong_size(prod.size)) : prod.size;
    const size_t middles = prod.parts == 3 ? rng_.range(0, 4) : 0;
    const size_t pieces = std::min(total, middles + 2);
    std::vector<size_t> sizes = split(total, pieces);
    if (rng_.chance(1, 12)) {
      // Count about to wrap from 16383 to 0.
      counts_[prod.apid] = static_cast<uint16_t>(16383 - rng_.below(std::max<size_t>(1, pieces)));
    }
    const bool drop_first = rng_.chance(1, 12);
    for (size_t i = 0; i < sizes.size(); ++i) {
      uint8_t flags = i == 0 ? 1 : (i + 1 == sizes.size() ? 2 : 0);
      if (rng_.chance(1, 30)) flags = static_cast<uint8_t>(rng_.below(4));
      tlm::Packet p = packet(prod.apid, flags, sizes[i]);
      if (i > 0 && rng_.chance(1, 15)) p.subseconds = static_cast<uint8_t>(p.subseconds + 1);
      if (i > 0 && rng_.chance(1, 20)) p.count = static_cast<uint16_t>(rng_.below(16384));
      if (i == 0 && drop_first) continue;
      add(in, p, framing());
    }
    if (rng_.chance(1, 6)) {
      // More last (and middle) segments with the same time: each one is
      // appended again to the collected bytes, which may outgrow any buffer.
      const size_t extra = rng_.range(1, 5);
      for (size_t i = 0; i < extra; ++i) {
        const uint8_t flags = prod.parts == 3 && rng_.chance(1, 2) ? 0 : 2;
        const tlm::Framing f = framing();
        // Largest user data whose record still fits the reader's buffer.
        const size_t most = kBufferSize - 20 - 4 - (12u + f.l1 + f.l2 + f.l3) - 4 - 11;
        const size_t n = rng_.chance(1, 2) ? rng_.range(8000, most) : prod.size;
        add(in, packet(prod.apid, flags, n), f);
      }
    }
  }

  void well_formed(Input& in, uint64_t events) {
    for (uint64_t i = 0; i < events; ++i) event(in);
  }

  // A record with one deliberate framing flaw.
  void broken_record(Input& in) {
    tick();
    const uint16_t apid = pick_apid();
    const Product* prod = product(apid);
    size_t n = prod ? prod->size * rng_.range(1, 2) : rng_.size(64, 1000);
    if (n > 20000) n = prod->size;
    tlm::Packet p = packet(apid, prod && prod->parts > 1 ? 1 : 3, n);
    tlm::Framing f = framing();
    const size_t blocks = 12u + f.l1 + f.l2 + f.l3;
    const size_t body = 4 + blocks + 4 + 11 + n;  // well-formed L
    switch (rng_.below(14)) {
      case 0:  // A beyond the record
        f.aggregation_length = static_cast<uint16_t>(rng_.range(body - 8, 65535));
        break;
      case 1:  // A too small for the header blocks
        f.aggregation_length = static_cast<uint16_t>(rng_.range(0, 11));
        break;
      case 2: {  // huge L, with that many bytes really present
        const size_t big = rng_.range(std::max<size_t>(body, kBufferSize - 40), 65535);
        f.extra = rng_.bytes(big - body);
        if (rng_.chance(1, 2)) p.length_field = static_cast<uint16_t>(std::min<size_t>(big, 65535));
        break;
      }
      case 3: {  // record of exactly the buffer size, or one byte more
        const size_t want = kBufferSize - 20 + rng_.below(2);
        p.data = rng_.bytes(want - (4 + blocks + 4 + 11));
        break;
      }
      case 4: {  // L shorter than the headers and packet; record cut to L
        const size_t l = rng_.range(0, body - 1);
        f.body_length = static_cast<uint16_t>(l);
        f.truncate = 20 + l;
        break;
      }
      case 5:  // L beyond the bytes that follow (eats the next record or hits EOF)
        f.body_length = static_cast<uint16_t>(std::min<size_t>(65535, body + rng_.range(1, 2000)));
        break;
      case 6:  // packet length field below 4
        p.length_field = static_cast<uint16_t>(rng_.range(0, 3));
        break;
      case 7:  // packet length field beyond the record
        p.length_field = static_cast<uint16_t>(rng_.range(n + 5, 65535));
        break;
      case 8: {  // header block chain beyond the record
        const uint16_t big = static_cast<uint16_t>(rng_.range(64, 65535));
        const uint64_t which = rng_.below(3);
        (which == 0 ? f.l1 : which == 1 ? f.l2 : f.l3) = big;
        const size_t l = rng_.range(8, 200);
        f.aggregation_length = static_cast<uint16_t>(rng_.range(12, 200));
        f.body_length = static_cast<uint16_t>(l);
        f.truncate = 20 + l;
        break;
      }
      case 9:  // block 3 too short for the fill flag or pre-fill size
        f.l3 = static_cast<uint16_t>(rng_.range(0, 5));
        break;
      case 10:  // odd pre-fill sizes on a filled packet
        p.fill = true;
        p.prefill_size = static_cast<uint16_t>(rng_.chance(1, 2) ? rng_.range(0, 10) : 65535);
        break;
      case 11:  // another control authority
        f.authority = rng_.chance(1, 2) ? "NJPL" : std::string(4, '\0');
        break;
      case 12:  // bytes after the packet
        f.extra = rng_.bytes(rng_.range(1, 300));
        break;
      default:  // A that disagrees with the blocks by a little
        f.aggregation_length = static_cast<uint16_t>(blocks + rng_.range(1, 8) - 4);
        break;
    }
    add(in, p, f);
  }

  void broken_file(Input& in) {
    const uint64_t before = rng_.range(0, 3);
    for (uint64_t i = 0; i < before; ++i) event(in);
    const uint64_t broken = rng_.range(1, 3);
    for (uint64_t i = 0; i < broken; ++i) broken_record(in);
    const uint64_t after = rng_.range(0, 3);
    for (uint64_t i = 0; i < after; ++i) event(in);
  }

  uint16_t interesting16(const RecordInfo& r) {
    const uint16_t body = static_cast<uint16_t>(r.size - 20);
    const uint16_t values[] = {0,
                               1,
                               2,
                               3,
                               4,
                               5,
                               6,
                               10,
                               11,
                               12,
                               16,
                               0x7FFF,
                               0x8000,
                               0xFFFE,
                               0xFFFF,
                               32747,
                               32748,
                               32749,
                               body,
                               static_cast<uint16_t>(body + 1),
                               static_cast<uint16_t>(body - 1)};
    if (rng_.chance(1, 5)) return static_cast<uint16_t>(rng_.next());
    return values[rng_.below(std::size(values))];
  }

  // Overwrites one of the length fields of a record.
  void poke_field(Input& in) {
    if (in.records.empty()) return;
    const RecordInfo& r = in.records[rng_.below(in.records.size())];
    const tlm::Framing& f = r.framing;
    const size_t a = 12u + f.l1 + f.l2 + f.l3;
    const size_t offsets[] = {18,
                              22,
                              26,
                              26 + 4u + f.l1,
                              26 + 8u + f.l1 + f.l2,
                              24 + 12u + f.l1 + f.l2,  // block 3 body: fill byte
                              24 + 12u + f.l1 + f.l2 + 4,
                              24 + a + 2,
                              28 + a,
                              28 + a + 2,
                              28 + a + 4};
    const size_t at = r.start + offsets[rng_.below(std::size(offsets))];
    if (at + 2 > in.bytes.size()) return;
    const uint16_t v = interesting16(r);
    in.bytes[at] = static_cast<uint8_t>(v >> 8);
    in.bytes[at + 1] = static_cast<uint8_t>(v);
  }

  void mutate(Input& in) {
    const uint64_t ops = rng_.range(1, 4);
    for (uint64_t k = 0; k < ops; ++k) {
      std::vector<uint8_t>& b = in.bytes;
      if (b.empty()) b = rng_.bytes(rng_.range(1, 64));
      switch (rng_.below(9)) {
        case 0:
        case 1:
          poke_field(in);
          break;
        case 2: {  // bit flips
          const uint64_t flips = rng_.range(1, 16);
          for (uint64_t i = 0; i < flips; ++i) b[rng_.below(b.size())] ^= 1u << rng_.below(8);
          break;
        }
        case 3: {  // random bytes overwritten
          const uint64_t n = rng_.range(1, 8);
          for (uint64_t i = 0; i < n; ++i)
            b[rng_.below(b.size())] = static_cast<uint8_t>(rng_.next());
          break;
        }
        case 4:  // truncated file
          b.resize(rng_.below(b.size()));
          break;
        case 5: {  // chunk removed
          const size_t at = rng_.below(b.size());
          const size_t n = std::min<size_t>(b.size() - at, rng_.range(1, 64));
          b.erase(b.begin() + static_cast<std::ptrdiff_t>(at),
                  b.begin() + static_cast<std::ptrdiff_t>(at + n));
          break;
        }
        case 6: {  // random chunk inserted
          const size_t at = rng_.below(b.size() + 1);
          const std::vector<uint8_t> chunk = rng_.bytes(rng_.range(1, 64));
          b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), chunk.begin(), chunk.end());
          break;
        }
        case 7: {  // a record repeated
          if (in.records.empty()) break;
          const RecordInfo& r = in.records[rng_.below(in.records.size())];
          if (r.start + r.size > b.size()) break;
          const std::vector<uint8_t> copy(
              b.begin() + static_cast<std::ptrdiff_t>(r.start),
              b.begin() + static_cast<std::ptrdiff_t>(r.start + r.size));
          b.insert(b.end(), copy.begin(), copy.end());
          break;
        }
        default: {  // random tail
          const std::vector<uint8_t> tail = rng_.bytes(rng_.range(1, 100));
          b.insert(b.end(), tail.begin(), tail.end());
          break;
        }
      }
    }
  }

  void random_after_label(Input& in) {
    std::vector<uint8_t>& b = in.bytes;
    const std::string label = "KWRZ3IF0M009";
    b.assign(label.begin(), label.end());
    b.insert(b.end(), 6, 0);
    const size_t rest = rng_.size(200, 70000);
    const uint16_t l = rng_.chance(1, 2) ? static_cast<uint16_t>(std::min<size_t>(rest, 65535))
                                         : static_cast<uint16_t>(rng_.next());
    tlm::put_be16(b, l);
    const std::vector<uint8_t> body = rng_.bytes(rest);
    b.insert(b.end(), body.begin(), body.end());
    if (rng_.chance(1, 3) && b.size() > 24) {
      // Small aggregation length, so the packet lands inside the record.
      b[22] = 0;
      b[23] = static_cast<uint8_t>(rng_.range(0, 60));
    }
  }

  void pure_random(Input& in) {
    in.bytes = rng_.bytes(rng_.size(64, 8192));
    if (rng_.chance(1, 2) && in.bytes.size() >= 4) std::copy_n("KWRZ", 4, in.bytes.begin());
  }

  void edge(Input& in) {
    switch (rng_.below(5)) {
      case 0:  // empty file
        break;
      case 1: {  // partial first label
        const std::string label = "KWRZ3IF0M00900000000";
        in.bytes.assign(label.begin(),
                        label.begin() + static_cast<std::ptrdiff_t>(rng_.range(1, 19)));
        break;
      }
      case 2: {  // records, then a partial label
        well_formed(in, rng_.range(1, 4));
        const std::vector<uint8_t> part = rng_.bytes(rng_.range(1, 19));
        in.bytes.insert(in.bytes.end(), part.begin(), part.end());
        break;
      }
      case 3: {  // records, then a body cut short
        well_formed(in, rng_.range(1, 4));
        if (!in.records.empty()) {
          const RecordInfo& r = in.records.back();
          in.bytes.resize(r.start + rng_.range(20, r.size - 1));
        }
        break;
      }
      default: {  // a label without a body and L = 0
        const std::string label = "KWRZ3IF0M009";
        in.bytes.assign(label.begin(), label.end());
        in.bytes.insert(in.bytes.end(), 8, 0);
        if (rng_.chance(1, 2)) well_formed(in, 1);
        break;
      }
    }
  }

  Rng rng_;
  size_t inst_;
  uint32_t clock_ = 0;
  uint8_t sub_ = 0;
  std::array<uint16_t, 2048> counts_{};
};

// ---------------------------------------------------------------------------
// Running the program.

struct Options {
  std::string program;
  uint64_t iterations = 0;
  uint64_t seed = 0;
  std::string workdir;
  std::optional<std::string> corpus;
  int timeout = 20;
};

struct RunResult {
  bool timed_out = false;
  int status = 0;  // waitpid status
  std::string stderr_text;
  std::string stdout_text;
};

std::string read_file(const std::string& path, size_t limit) {
  std::ifstream f(path, std::ios::binary);
  std::string out;
  out.resize(limit);
  f.read(out.data(), static_cast<std::streamsize>(limit));
  out.resize(static_cast<size_t>(f.gcount()));
  return out;
}

RunResult run_program(const Options& opt, const std::string& inst) {
  const std::string tlm = opt.workdir + "/in.tlm";
  const std::string edr = opt.workdir + "/out.hdf";
  const std::string out_path = opt.workdir + "/run.stdout";
  const std::string err_path = opt.workdir + "/run.stderr";
  std::vector<std::string> args = {opt.program, "-inst", inst, "-tlm", tlm, "-edr", edr};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
      _exit(125);
    }
    execv(argv[0], argv.data());
    const char msg[] = "fuzz_tlm: execv failed\n";
    if (write(2, msg, sizeof msg - 1) < 0) _exit(126);
    _exit(127);
  }

  RunResult result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(opt.timeout);
  auto pause = std::chrono::microseconds(100);
  for (;;) {
    const pid_t done = waitpid(pid, &result.status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &result.status, 0) < 0 && errno == EINTR) {
      }
      result.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(20000));
  }
  result.stderr_text = read_file(err_path, 1 << 20);
  result.stdout_text = read_file(out_path, 16 << 20);
  return result;
}

// What is wrong with a run, or nothing.
std::optional<std::string> judge(const RunResult& r, const Options& opt) {
  if (r.timed_out) return "no exit within " + std::to_string(opt.timeout) + " s (killed)";
  if (WIFSIGNALED(r.status)) {
    const int sig = WTERMSIG(r.status);
    return "killed by signal " + std::to_string(sig) + " (" + strsignal(sig) + ")";
  }
  if (!WIFEXITED(r.status)) return "unexpected wait status " + std::to_string(r.status);
  const std::string status = " (exit status " + std::to_string(WEXITSTATUS(r.status)) + ")";
  const auto reports = [&](const char* marker) {
    return r.stderr_text.find(marker) != std::string::npos;
  };
  if (reports("ERROR: AddressSanitizer")) return "AddressSanitizer error report" + status;
  if (reports("runtime error:")) return "sanitizer \"runtime error:\" report" + status;
  if (reports("LeakSanitizer")) return "LeakSanitizer leak report" + status;
  if (reports("AddressSanitizer")) return "AddressSanitizer report" + status;
  const int code = WEXITSTATUS(r.status);
  if (code != 0 && code != 255) return "exit status " + std::to_string(code);
  return std::nullopt;
}

void copy_file(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
}

class Fuzzer {
 public:
  explicit Fuzzer(Options opt) : opt_(std::move(opt)) {}

  // Runs one input; returns false for a finding.
  bool run(const std::vector<uint8_t>& bytes, const std::string& inst, const std::string& what) {
    const std::string tlm = opt_.workdir + "/in.tlm";
    tlm::write_file(tlm, bytes);
    remove_outputs();
    const RunResult r = run_program(opt_, inst);
    ++inputs_;
    const std::optional<std::string> problem = judge(r, opt_);
    if (problem) {
      ++findings_;
      const std::string base = opt_.workdir + "/finding-" + std::to_string(findings_);
      tlm::write_file(base + ".tlm", bytes);
      copy_file(opt_.workdir + "/run.stdout", base + ".stdout");
      copy_file(opt_.workdir + "/run.stderr", base + ".stderr");
      std::cout << "fuzz_tlm: FINDING " << findings_ << ": " << what << ", -inst " << inst << ", "
                << bytes.size() << " bytes: " << *problem << "\n"
                << "  input saved to " << base << ".tlm (output in " << base << ".stdout, " << base
                << ".stderr)\n";
      print_excerpt(r.stderr_text);
      std::cout.flush();
    }
    remove_outputs();
    return !problem;
  }

  size_t inputs() const { return inputs_; }
  size_t findings() const { return findings_; }

 private:
  void remove_outputs() {
    std::error_code ec;
    fs::remove(opt_.workdir + "/out.hdf", ec);
    fs::remove(opt_.workdir + "/out.hdf.tmp", ec);
  }

  static void print_excerpt(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    for (int shown = 0; shown < 12 && std::getline(in, line);) {
      if (line.empty()) continue;
      std::cout << "  | " << line << "\n";
      ++shown;
    }
  }

  Options opt_;
  size_t inputs_ = 0;
  size_t findings_ = 0;
};

int usage(const std::string& why) {
  std::cerr << "fuzz_tlm: " << why << "\n"
            << "usage: fuzz_tlm --program PATH --iterations N --seed S --workdir DIR"
               " [--corpus DIR] [--timeout SECONDS]\n";
  return 2;
}

bool parse_u64(const std::string& text, uint64_t& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  bool have_iterations = false;
  bool have_seed = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return usage("option " + a + " needs a value");
    const std::string v = argv[++i];
    uint64_t n = 0;
    if (a == "--program") {
      opt.program = v;
    } else if (a == "--workdir") {
      opt.workdir = v;
    } else if (a == "--corpus") {
      opt.corpus = v;
    } else if (a == "--iterations") {
      if (!parse_u64(v, opt.iterations)) return usage("bad --iterations " + v);
      have_iterations = true;
    } else if (a == "--seed") {
      if (!parse_u64(v, opt.seed)) return usage("bad --seed " + v);
      have_seed = true;
    } else if (a == "--timeout") {
      if (!parse_u64(v, n) || n == 0 || n > 3600) return usage("bad --timeout " + v);
      opt.timeout = static_cast<int>(n);
    } else {
      return usage("unknown option " + a);
    }
  }
  if (opt.program.empty() || opt.workdir.empty() || !have_iterations || !have_seed) {
    return usage("--program, --iterations, --seed and --workdir are required");
  }
  if (access(opt.program.c_str(), X_OK) != 0) {
    std::cerr << "fuzz_tlm: " << opt.program << ": not an executable program\n";
    return 2;
  }
  std::error_code ec;
  fs::create_directories(opt.workdir, ec);
  if (!fs::is_directory(opt.workdir)) {
    std::cerr << "fuzz_tlm: cannot create work folder " << opt.workdir << "\n";
    return 2;
  }

  try {
    Fuzzer fuzzer(opt);
    if (opt.corpus) {
      std::vector<fs::path> files;
      for (const fs::directory_entry& e : fs::directory_iterator(*opt.corpus)) {
        if (e.is_regular_file()) files.push_back(e.path());
      }
      std::sort(files.begin(), files.end());
      for (const fs::path& p : files) {
        std::ifstream f(p, std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)),
                                         std::istreambuf_iterator<char>());
        for (const char* inst : kInstruments) fuzzer.run(bytes, inst, "corpus " + p.string());
      }
    }
    for (uint64_t i = 0; i < opt.iterations; ++i) {
      const size_t inst = static_cast<size_t>(i % kInstruments.size());
      Generator gen(mix(opt.seed ^ mix(i)), inst);
      const Input in = gen.make();
      fuzzer.run(in.bytes, kInstruments[inst],
                 "iteration " + std::to_string(i) + " (" + in.kind + ")");
      if ((i + 1) % 100 == 0 && i + 1 < opt.iterations) {
        std::cout << "fuzz_tlm: " << i + 1 << "/" << opt.iterations << " iterations, "
                  << fuzzer.findings() << " findings\n";
        std::cout.flush();
      }
    }
    std::cout << "fuzz_tlm: " << fuzzer.inputs() << " inputs, " << fuzzer.findings()
              << " findings\n";
    return fuzzer.findings() == 0 ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << "fuzz_tlm: " << e.what() << "\n";
    return 2;
  }
}
