// gen_tlm: writes the large TLM files of the benchmark, record by record, so
// that this program stays small whatever the size.
//
//   gen_tlm con N OUT        N packets of one Concentrator record each
//   gen_tlm science MB OUT   GEM and GIM normal, raw and diagnostic records
//                            (segmented as the instruments send them) up to
//                            at least MB megabytes
//   gen_tlm mixed MB OUT     packets of every unit and APID in turn, up to at
//                            least MB megabytes
//
// Prints the number of records written (fixed records and reassembled
// records; quaternion lines for APID 27) and the file's size in bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tlm_builder.h"

namespace {

class Writer {
 public:
  explicit Writer(const char *path) : file_(std::fopen(path, "wb")) {
    if (file_ == nullptr) {
      std::perror(path);
      std::exit(1);
    }
  }
  ~Writer() {
    if (std::fclose(file_) != 0) {
      std::perror("close");
      std::exit(1);
    }
  }
  void add(const tlm::Packet &p) {
    const std::vector<uint8_t> rec = tlm::record(p);
    if (std::fwrite(rec.data(), 1, rec.size(), file_) != rec.size()) {
      std::perror("write");
      std::exit(1);
    }
    bytes_ += rec.size();
  }
  size_t bytes() const { return bytes_; }

 private:
  std::FILE *file_;
  size_t bytes_ = 0;
};

struct Kind {
  uint16_t apid;
  size_t size;  // record size in user-data bytes
  int parts;    // 1: fixed records, 2: first + last, 3: first + middle + last
  int per_pkt;  // fixed records per packet
};

// Every APID, in the order the mixed file cycles through them.
const Kind kAll[] = {
    {32, 46, 1, 4},  {33, 50, 1, 2},   {31, 3454, 2, 1},  {41, 2360, 2, 1}, {29, 66, 1, 4},
    {30, 94, 1, 2},  {28, 3336, 2, 1}, {34, 12934, 3, 1}, {42, 8328, 3, 1}, {25, 52, 1, 4},
    {24, 144, 1, 2}, {26, 168, 1, 2},  {27, 40, 1, 4},
};
const Kind kScience[] = {
    {31, 3454, 2, 1}, {41, 2360, 2, 1}, {28, 3336, 2, 1}, {34, 12934, 3, 1}, {42, 8328, 3, 1},
};

class Generator {
 public:
  explicit Generator(const char *path) : out_(path), rng_(2026) {}

  // One record (or one packet of fixed records) of this kind.
  void add(const Kind &k) {
    const size_t n = k.parts == 1 ? k.size * static_cast<size_t>(k.per_pkt) : k.size;
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; i += 4) {
      const uint32_t v = static_cast<uint32_t>(rng_());
      std::memcpy(data.data() + i, &v, n - i < 4 ? n - i : 4);
    }
    ++seconds_;
    if (k.parts == 1) {
      add_packet(k.apid, 3, data.begin(), data.end());
      records_ += static_cast<size_t>(k.per_pkt);
      return;
    }
    for (int p = 0; p < k.parts; ++p) {
      const uint8_t flags = p == 0 ? 1 : p + 1 == k.parts ? 2 : 0;
      add_packet(k.apid, flags, data.begin() + static_cast<long>(n * p / k.parts),
                 data.begin() + static_cast<long>(n * (p + 1) / k.parts));
    }
    ++records_;
  }
  size_t bytes() const { return out_.bytes(); }
  size_t records() const { return records_; }

 private:
  void add_packet(uint16_t apid, uint8_t flags, std::vector<uint8_t>::const_iterator from,
                  std::vector<uint8_t>::const_iterator to) {
    tlm::Packet p;
    p.apid = apid;
    p.flags = flags;
    p.count = count_++ & 0x3FFF;
    p.seconds = seconds_;
    p.data.assign(from, to);
    out_.add(p);
  }

  Writer out_;
  std::mt19937 rng_;
  uint32_t seconds_ = 100000000;
  uint16_t count_ = 0;
  size_t records_ = 0;
};

int usage() {
  std::fprintf(stderr, "usage: gen_tlm con N OUT | science MB OUT | mixed MB OUT\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) return usage();
  const std::string what = argv[1];
  const size_t amount = std::strtoull(argv[2], nullptr, 10);
  Generator g(argv[3]);
  if (what == "con") {
    const Kind one{25, 52, 1, 1};
    for (size_t i = 0; i < amount; ++i) g.add(one);
  } else if (what == "science" || what == "mixed") {
    const bool science = what == "science";
    const Kind *kinds = science ? kScience : kAll;
    const size_t nkinds = science ? std::size(kScience) : std::size(kAll);
    for (size_t i = 0; g.bytes() < amount * 1000000; ++i) g.add(kinds[i % nkinds]);
  } else {
    return usage();
  }
  std::printf("%zu %zu\n", g.records(), g.bytes());
  return 0;
}
