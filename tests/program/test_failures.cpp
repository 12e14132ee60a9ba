// The driver's handling of HDF4 calls that fail, end to end: a preloaded
// library makes one named call fail inside the real program.
#include <gtest/gtest.h>

#include "harness.h"

using harness::echo;
using harness::kOffset;
using harness::listing;

namespace {

class HdfFailure : public ::testing::Test {
 protected:
  harness::TempDir dir;
  std::string tlm_path = dir / "con.tlm";
  std::string edr = dir / "con.hdf";

  void SetUp() override {
    tlm::Builder b;
    b.add(harness::packet(25, 3, 1, 40, 0, 104));
    b.write(tlm_path);
  }
  harness::Run run(const std::string &call, int after = 0) {
    return harness::run_edr(
        {"-inst", "con", "-tlm", tlm_path, "-edr", edr},
        {"LD_PRELOAD=" HLC_FAULT_LIBRARY, "HLC_FAIL=" + call,
         "HLC_FAIL_AFTER=" + std::to_string(after), "ASAN_OPTIONS=verify_asan_link_order=0"});
  }
  std::string head() {
    return echo(3, 0, tlm_path, edr) + listing(25, 3, 1, 104, 40, 0, 1, 175, kOffset, 0, 115);
  }
  std::string opened() { return "opened " + edr + ".tmp\n"; }
};

const char kInit[] = "   initialized Concentrator h/k\n";
const char kWrote[] = "      wrote Concentrator h/k record\n";
const char kTotal[] = "Accumulated processed byte count: 175\n";

TEST_F(HdfFailure, OpeningTheWorkFile) {
  harness::Run r = run("Hopen");
  EXPECT_EQ(r.out, head() + "ERROR: Hopen failed\n");
  EXPECT_EQ(r.err.rfind("Hopen(out)", 0), 0u) << r.err;
  EXPECT_EQ(r.status, 255);
  const std::pair<const char *, const char *> steps[] = {{"Vinitialize", "ERROR: Vstart failed\n"},
                                                         {"SDstart", "ERROR: SDstart failed\n"},
                                                         {"ANstart", "ERROR: ANstart failed\n"}};
  for (const auto &[call, message] : steps) {
    r = run(call);
    EXPECT_EQ(r.out, head() + message) << call;
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(harness::exists(edr + ".tmp")) << call;
    EXPECT_FALSE(harness::exists(edr)) << call;
  }
}

// A table that cannot be created ends the run with the module's failure
// report on standard error; records that cannot be written too.
TEST_F(HdfFailure, TableCreationAndWriting) {
  harness::Run r = run("Vattach");
  EXPECT_EQ(r.out, head() + opened() + "ERROR: init_wr_con_hk failed\n");
  EXPECT_EQ(harness::reports(r.err).at(0),
            "ERROR in  con_hk.cpp -> init_cr_con_hk -> Vattach: Couldn't create Vgroup");
  EXPECT_EQ(r.status, 255);

  // The packet's two records are written together at the end of the run:
  // the block that cannot be written ends it, nothing renamed.
  r = run("VSwrite");
  EXPECT_EQ(r.out, head() + opened() + kInit + kWrote + kWrote + kTotal +
                       "ERROR: write_con_hk() failed\n");
  EXPECT_EQ(harness::reports(r.err),
            std::vector<std::string>{"ERROR in  con_hk.cpp -> flush_wr_con_hk -> VSwrite: "
                                     "Couldn't write data."});
  EXPECT_EQ(r.status, 255);
  EXPECT_FALSE(harness::exists(edr));
}

// A failed shutdown step leaves the work file under its work name.
TEST_F(HdfFailure, Shutdown) {
  const std::pair<const char *, const char *> steps[] = {{"ANend", "ERROR: ANend failed\n"},
                                                         {"SDend", "ERROR: SDend failed\n"},
                                                         {"Vfinish", "ERROR: Vend failed\n"},
                                                         {"Hclose", "ERROR: Hclose failed\n"}};
  for (const auto &[call, message] : steps) {
    harness::Run r = run(call);
    EXPECT_EQ(r.out, head() + opened() + kInit + kWrote + kWrote + kTotal + message) << call;
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(harness::exists(edr + ".tmp")) << call;
    EXPECT_FALSE(harness::exists(edr)) << call;
  }
}

}  // namespace
