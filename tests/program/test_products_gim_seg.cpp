// GIM diagnostic records, the largest of all (12934 bytes), reassembled from
// three or more segments: the driver allocates nothing per packet. The same
// two records are sent once in few segments among few orphan segments and
// once in many segments among many more; with a preloaded counter, both runs
// make exactly the same number of heap allocations.
#include <gtest/gtest.h>

#include <random>

#include "harness.h"

namespace {

constexpr size_t kDiagSize = 12934;

size_t occurrences(const std::string &text, const std::string &line) {
  size_t n = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
  return n;
}

// Runs -inst gim -apid diag over two records, each sent as a first segment,
// `middles` middle segments and a last one, followed by `orphans` middle and
// `orphans` last segments of no record. Gives the allocation count.
long run_counted(const harness::TempDir &dir, const std::string &name, size_t middles,
                 int orphans) {
  std::mt19937 rng(34);
  tlm::Builder b;
  uint16_t count = 16380;  // the counts wrap from 16383 to 0 on the way
  for (uint32_t r = 0; r < 2; ++r) {
    std::vector<uint8_t> rec(kDiagSize);
    for (uint8_t &byte : rec) byte = static_cast<uint8_t>(rng());
    const size_t parts = middles + 2;
    for (size_t k = 0; k < parts; ++k) {
      tlm::Packet pkt;
      pkt.apid = 34;
      pkt.flags = k == 0 ? 1 : k + 1 == parts ? 2 : 0;
      pkt.count = count;
      count = (count + 1) % 16384;
      pkt.seconds = 7000 + r;
      pkt.data.assign(rec.begin() + static_cast<long>(kDiagSize * k / parts),
                      rec.begin() + static_cast<long>(kDiagSize * (k + 1) / parts));
      b.add(pkt);
    }
  }
  for (int i = 0; i < orphans; ++i) {
    for (uint8_t flags : {0, 2}) {
      tlm::Packet pkt;
      pkt.apid = 34;
      pkt.flags = flags;
      pkt.count = static_cast<uint16_t>(i);
      pkt.seconds = 9000 + static_cast<uint32_t>(i);
      pkt.data = tlm::ramp(1000);
      b.add(pkt);
    }
  }
  const std::string tlm = dir / (name + ".tlm");
  const std::string counted = dir / (name + ".count");
  b.write(tlm);
  const harness::Run r = harness::run_edr(
      {"-inst", "gim", "-apid", "diag", "-tlm", tlm, "-edr", dir / (name + ".hdf")},
      {"LD_PRELOAD=" HLC_MALLOC_COUNT_LIBRARY, "HLC_MALLOC_COUNT=" + counted});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(occurrences(r.out, "accumulated GIM diag. size 12934\n"), 2u);
  EXPECT_EQ(occurrences(r.out, "      wrote GIM diagnostics record\n"), 2u);
  EXPECT_EQ(occurrences(r.out, "WARNING: dropped orphan GIM_Diag MIDDLE @"),
            static_cast<size_t>(orphans));
  EXPECT_EQ(occurrences(r.out, "WARNING: dropped orphan GIM_Diag LAST  @"),
            static_cast<size_t>(orphans));
  const std::string total = harness::slurp(counted);
  return total.empty() ? 0 : std::stol(total);
}

TEST(GimDiagnostic, NoAllocationPerPacket) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizer's allocator takes the place of the counted one";
#endif
  harness::TempDir dir;
  const long few = run_counted(dir, "few", 1, 10);
  const long many = run_counted(dir, "many", 12, 200);
  EXPECT_GT(few, 0);  // the counter was in place
  EXPECT_EQ(many, few);
}

}  // namespace
