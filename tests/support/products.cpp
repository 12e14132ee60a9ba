#include "products.h"

#include <cstring>
#include <random>

#include "hdf.h"

namespace products {

size_t type_size(int32 type) {
  return type == DFNT_UINT8 ? 1 : type == DFNT_UINT16 ? 2 : 4;
}

size_t Sds::values() const {
  size_t n = 1;
  for (int32 d : dims) n *= static_cast<size_t>(d);
  return n;
}

size_t Product::packed_size() const {
  size_t n = 0;
  for (const Field &f : fields) n += type_size(f.type) * static_cast<size_t>(f.order);
  return n;
}

Source at(size_t offset) {
  return [offset](size_t) { return offset; };
}

Source every(size_t offset, size_t stride) {
  return [offset, stride](size_t i) { return offset + stride * i; };
}

Source run(size_t offset, int32 type) {
  return every(offset, type_size(type));
}

std::vector<Product> all_products() {
  std::vector<Product> all;
  for (auto unit : {gem_products, gim_products, gim_seg_products, con_products, mec_products}) {
    for (Product &p : unit()) all.push_back(std::move(p));
  }
  return all;
}

// The records of a product's test runs: one of all 0xFF bytes (the largest
// values, NaN patterns for floats), then pseudo-random ones, then the
// product's own.
std::vector<Record> records_of(const Product &p, int randoms) {
  std::vector<Record> recs;
  recs.emplace_back(p.record_size, 0xFF);
  std::mt19937 rng(p.apid);
  for (int r = 0; r < randoms; ++r) {
    Record rec(p.record_size);
    for (uint8_t &b : rec) b = static_cast<uint8_t>(rng());
    recs.push_back(rec);
  }
  for (const Record &rec : p.special) recs.push_back(rec);
  return recs;
}

namespace {

std::string accumulated(const Product &p, size_t size) {
  std::string line = p.accumulated;
  return line.replace(line.find("%d"), 2, std::to_string(size));
}

tlm::Packet packet_of(const Product &p, uint8_t flags, uint16_t count, uint32_t seconds,
                      uint8_t subseconds, std::vector<uint8_t> data) {
  tlm::Packet pkt;
  pkt.apid = p.apid;
  pkt.flags = flags;
  pkt.count = count;
  pkt.seconds = seconds;
  pkt.subseconds = subseconds;
  pkt.data = std::move(data);
  return pkt;
}

}  // namespace

void Feeder::add(const Product &p, const std::vector<Record> &recs, uint32_t t0) {
  bool initialized = false;
  auto done = [&] {
    if (!initialized) s_.say(p.initialized);
    initialized = true;
    s_.say(p.wrote);
  };
  const size_t n = p.record_size;
  if (p.handling == Handling::kFixed) {
    for (size_t r = 0; r < recs.size(); ++r) {
      std::vector<uint8_t> data = recs[r];
      const size_t in_packet = r == 0 && recs.size() > 1 ? 2 : 1;
      if (in_packet == 2) data.insert(data.end(), recs[1].begin(), recs[1].end());
      add(packet_of(p, 3, count_++, t0 + static_cast<uint32_t>(r), 0, data));
      for (size_t k = 0; k < in_packet; ++k) done();
      r += in_packet - 1;
    }
    return;
  }
  for (size_t r = 0; r < recs.size(); ++r) {
    const Record &rec = recs[r];
    const uint32_t seconds = t0 + static_cast<uint32_t>(r);
    const uint8_t subseconds = static_cast<uint8_t>(37 * r);
    // Segment boundaries.
    std::vector<size_t> cuts;
    if (p.handling == Handling::kTwoPart) {
      const size_t at[] = {1, n - 1, n / 2, 1000};
      cuts = {at[r % 4]};
    } else {
      const size_t middles = 1 + r % 3;
      for (size_t k = 1; k <= middles + 1; ++k) cuts.push_back(n * k / (middles + 2) + r);
      if (r == 1) count_ = 16382;
    }
    cuts.insert(cuts.begin(), 0);
    cuts.push_back(n);
    for (size_t k = 0; k + 1 < cuts.size(); ++k) {
      const uint8_t flags = k == 0 ? 1 : k + 2 == cuts.size() ? 2 : 0;
      add(packet_of(p, flags, count_, seconds, subseconds,
                    Record(rec.begin() + static_cast<long>(cuts[k]),
                           rec.begin() + static_cast<long>(cuts[k + 1]))));
      count_ = (count_ + 1) % 16384;
    }
    s_.say(accumulated(p, n));
    done();
  }
}

void Feeder::foreign(uint16_t apid, uint32_t seconds) {
  tlm::Packet pkt;
  pkt.apid = apid;
  pkt.count = count_++;
  pkt.seconds = seconds;
  pkt.data = tlm::ramp(apid == 25 ? 52 : 46);
  s_.add(pkt);
}

void Feeder::add(const tlm::Packet &pkt) {
  s_.add(pkt);
  if (!opened_) s_.opened();
  opened_ = true;
}

std::vector<std::string> product_vgroups(const std::string &path) {
  std::vector<std::string> names;
  int32 f = Hopen(path.c_str(), DFACC_READ, 0);
  if (f == -1) return names;
  Vstart(f);
  int32 refs[64];
  const int32 n = Vlone(f, refs, 64);
  for (int32 i = 0; i < n && i < 64; ++i) {
    int32 vg = Vattach(f, refs[i], "r");
    char name[VGNAMELENMAX + 1] = "", cls[VGNAMELENMAX + 1] = "";
    Vgetname(vg, name);
    Vgetclass(vg, cls);
    Vdetach(vg);
    if (strcmp(cls, "CDF0.0") != 0) names.push_back(name);
  }
  Vend(f);
  Hclose(f);
  return names;
}

}  // namespace products
