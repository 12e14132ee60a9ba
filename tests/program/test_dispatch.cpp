// Packet dispatch, segment reassembly, the quaternion text output and the life
// of the output file, seen through the real program: its whole standard output,
// its exit status and the files it leaves behind.
//
// Every product's table is created by its first good record; the product's
// own decoding and layout are checked by the product tests.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <initializer_list>

#include "harness.h"
#include "tlm_builder.h"

using harness::echo;
using harness::exists;
using harness::format;
using harness::listing;

namespace {

using harness::kOffset;
using harness::kOverhead;
const char kNotCreated[] = "ERROR: Output EDR or text file was not created.\n";
const char kEmpty[] = "ERROR: Output EDR file is empty.\n";
const char kSuccess[] = "Program run completed successfully.\n";
const char kRenameFailed[] = "ERROR: Failed to rename temporary file.\n";
const char kConInitialized[] = "   initialized Concentrator h/k\n";
const char kConWrote[] = "      wrote Concentrator h/k record\n";
const std::string kHdfMagic = "\x0e\x03\x13\x01";

// The packet time as the warnings print it.
std::string at(uint32_t seconds, int subseconds) {
  return format("@%10u:%03d", seconds, subseconds);
}

using harness::Script;

tlm::Packet packet(uint16_t apid, uint8_t flags, uint16_t count, uint32_t seconds,
                   uint8_t subseconds, size_t size) {
  return harness::packet(apid, flags, count, seconds, subseconds, size,
                         static_cast<uint8_t>(count));
}

// The run found no packet of its instrument (and APID): no file at all.
void expect_not_created(const Script &s, const harness::Run &r) {
  EXPECT_EQ(r.out, s.expected(kNotCreated));
  EXPECT_EQ(r.status, 255);
  EXPECT_FALSE(exists(s.tmp()));
  EXPECT_FALSE(exists(s.edr));
}

// The work file was created but no table: it stays under its work name.
void expect_empty_edr(const Script &s, const harness::Run &r) {
  EXPECT_EQ(r.out, s.expected(kEmpty));
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(exists(s.tmp()));
  EXPECT_FALSE(exists(s.edr));
}

void expect_success(const Script &s, const harness::Run &r) {
  EXPECT_EQ(r.out, s.expected(kSuccess));
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(exists(s.tmp()));
  EXPECT_TRUE(exists(s.edr));
}

class Dispatch : public ::testing::Test {
 protected:
  harness::TempDir dir;
};

// ---------------------------------------------------------------------------
// Filtering by instrument and APID
// ---------------------------------------------------------------------------

TEST_F(Dispatch, PacketsOfOtherInstrumentsAndApidsArePassedOverSilently) {
  {
    SCOPED_TRACE("con run without any Concentrator packet");
    Script s(dir, "con_none", 3);
    s.add(32, 3, 0, 1, 0, 46).add(31, 1, 1, 2, 0, 100).add(31, 2, 2, 2, 0, 3354);
    s.add(28, 3, 3, 3, 0, 10).add(24, 3, 4, 4, 0, 144).add(26, 3, 5, 5, 0, 0);
    s.add(27, 3, 6, 6, 0, 40).add(99, 3, 7, 7, 0, 52).add(0, 3, 8, 8, 0, 52);
    tlm::Packet filled = packet(25, 3, 9, 9, 1, 52);  // dropped by the reader: opens nothing
    filled.fill = true;
    s.add(filled).say("WARNING: dropped filled APID 25 " + at(9, 1) + ". Orig size: 63.\n");
    expect_not_created(s, s.run());
  }
  {
    SCOPED_TRACE("gim -apid hk");
    Script s(dir, "gim_hk", 2, "hk", 29);
    s.add(28, 1, 0, 10, 0, 1000).add(28, 2, 1, 10, 0, 2336);  // a whole GIM normal record
    s.add(30, 3, 2, 11, 0, 93).add(34, 0, 3, 11, 0, 10).add(32, 3, 4, 11, 0, 1);
    s.add(29, 3, 5, 12, 5, 0).opened();  // first selected packet opens, bad size or not
    s.say("WARNING: dropped GIM HK " + at(12, 5) + " -- bad size 0\n");
    s.add(28, 2, 6, 13, 0, 10);  // would be an orphan last segment
    s.add(28, 1, 7, 14, 0, 10).add(42, 2, 8, 15, 0, 10);
    s.add(29, 3, 9, 16, 0, 66).say("   initialized GIM h/k\n      wrote GIM h/k record\n");
    expect_success(s, s.run());
  }
  {
    SCOPED_TRACE("con -apid hk");
    Script s(dir, "con_hk", 3, "hk", 25);
    s.add(32, 3, 0, 20, 0, 46).add(25, 3, 1, 21, 0, 51).opened();
    s.say("WARNING: dropped CON HK " + at(21, 0) + " -- bad size 51\n");
    s.add(24, 3, 2, 22, 0, 144).add(25, 3, 3, 23, 255, 0);
    s.say("WARNING: dropped CON HK " + at(23, 255) + " -- bad size 0\n");
    expect_empty_edr(s, s.run());
  }
  {
    SCOPED_TRACE("gem: a GEM normal middle segment opens the work file and is passed over");
    Script s(dir, "gem_middle", 1);
    s.add(25, 3, 0, 30, 0, 52).add(29, 3, 1, 31, 0, 66).add(31, 0, 2, 32, 0, 10).opened();
    s.add(33, 3, 3, 33, 0, 99)
        .say("WARNING: dropped GEM ManCal " + at(33, 0) + " -- bad size 99\n");
    s.add(41, 3, 4, 34, 0, 8);
    expect_empty_edr(s, s.run());
  }
  {
    SCOPED_TRACE("gim -apid diag with only GIM h/k packets");
    Script s(dir, "gim_diag_none", 2, "diag", 34);
    s.add(29, 3, 0, 40, 0, 66).add(29, 3, 1, 41, 0, 1);
    expect_not_created(s, s.run());
  }
}

// ---------------------------------------------------------------------------
// Fixed-record packets
// ---------------------------------------------------------------------------

struct FixedProduct {
  uint16_t apid;
  int inst;
  const char *name;
  int size;
};
const FixedProduct kFixed[] = {
    {32, 1, "GEM HK", 46},     {33, 1, "GEM ManCal", 50}, {29, 2, "GIM HK", 66},
    {30, 2, "GIM ManCal", 94}, {25, 3, "CON HK", 52},     {24, 4, "MEC HK", 144},
    {26, 4, "MEC F1D", 168},
};

TEST_F(Dispatch, FixedRecordPacketsWithBadSizesAreDropped) {
  for (const FixedProduct &p : kFixed) {
    SCOPED_TRACE(p.name);
    Script s(dir, format("fixed%d", p.apid), p.inst);
    const std::string drop = format("WARNING: dropped %s ", p.name);
    const int sizes[] = {0, p.size - 1, p.size + 1, 2 * p.size + 1, 1, p.size - 4};
    uint32_t seconds = 1000;
    for (int size : sizes) {
      s.add(p.apid, 3, 0, seconds, 7, size);
      if (seconds == 1000) s.opened();
      s.say(drop + at(seconds, 7) + format(" -- bad size %d\n", size));
      seconds += 1000;
    }
    s.add(p.apid, 3, 1, 4294967295u, 255, p.size - 2);  // the widest time
    s.say(drop + at(4294967295u, 255) + format(" -- bad size %d\n", p.size - 2));
    // Fixed-record packets are split by size alone: their sequence flags do not matter.
    s.add(p.apid, 1, 2, 5, 0, 3).say(drop + at(5, 0) + " -- bad size 3\n");
    expect_empty_edr(s, s.run());
  }
}

TEST_F(Dispatch, FixedRecordPacketsAreSplitIntoRecords) {
  {
    SCOPED_TRACE("Concentrator: the table is created by the first good packet");
    Script s(dir, "con_split", 3);
    s.add(25, 3, 0, 10, 0, 0)
        .opened()
        .say("WARNING: dropped CON HK " + at(10, 0) + " -- bad size 0\n");
    s.add(25, 3, 1, 11, 0, 104).say(kConInitialized).say(kConWrote).say(kConWrote);
    s.add(25, 0, 2, 12, 3, 53).say("WARNING: dropped CON HK " + at(12, 3) + " -- bad size 53\n");
    s.add(25, 2, 3, 13, 0, 156).say(kConWrote).say(kConWrote).say(kConWrote);
    expect_success(s, s.run());
    EXPECT_EQ(harness::slurp(s.edr).substr(0, 4), kHdfMagic);
  }
  {
    SCOPED_TRACE("MEC: each product's table is created by its own first good packet");
    const std::string hk = "      wrote MEC/WIND h/k record\n";
    const std::string f1d = "      wrote MEC/WIND F1D record\n";
    Script s(dir, "mec_good", 4);
    s.add(24, 3, 0, 20, 0, 288).opened().say("   initialized MEC/WIND h/k\n" + hk + hk);
    s.add(26, 3, 1, 21, 0, 168).say("   initialized MEC/WIND F1D\n" + f1d);
    s.add(26, 3, 2, 22, 0, 336).say(f1d + f1d).add(24, 3, 3, 23, 0, 144).say(hk);
    expect_success(s, s.run());
  }
}

// ---------------------------------------------------------------------------
// Segment reassembly
// ---------------------------------------------------------------------------

struct SegmentedProduct {
  uint16_t apid;
  int inst;
  int size;
  const char *accumulated;  // product words of the accumulated line
  const char *tag;          // product word of the orphan warnings
  const char *drop;         // start of the drop warning
  const char *bad_size;     // "bad size" or "bad  size"
  const char *initialized;  // the product's initialised line
  const char *wrote;        // the decoder's line per record
};
const SegmentedProduct kTwoPart[] = {
    {31, 1, 3454, "GEM normal", "GEM_Norm", "GEM Normal", "bad size", "   initialized GEM Normal\n",
     "      wrote GEM normal record\n"},
    {41, 1, 2360, "GEM raw", "GEM_Raw", "GEM Raw", "bad size", "   initialized GEM Raw\n",
     "      wrote GEM raw record\n"},
    {28, 2, 3336, "GIM normal", "GIM_Norm", "GIM Normal", "bad size", "   initialized GIM Normal\n",
     "      wrote GIM normal record\n"},
};
const SegmentedProduct kThreePart[] = {
    {34, 2, 12934, "GIM diag.", "GIM_Diag", "GIM Diag", "bad  size", "   initialized GIM Diag.\n",
     "      wrote GIM diagnostics record\n"},
    {42, 2, 8328, "GIM raw", "GIM_Raw", "GIM Raw", "bad  size", "   initialized GIM Raw\n",
     "      wrote GIM raw record\n"},
};

// The messages of one segmented product.
struct Messages {
  const SegmentedProduct &p;
  std::string accumulated(int size) const {
    return format("accumulated %s size %d\n", p.accumulated, size);
  }
  std::string drop(uint32_t seconds, int subseconds, int size) const {
    return format("WARNING: dropped %s ", p.drop) + at(seconds, subseconds) +
           format(" -- %s %d\n", p.bad_size, size);
  }
  std::string orphan(const char *part, uint32_t seconds, int subseconds) const {
    return format("WARNING: dropped orphan %s %s ", p.tag, part) + at(seconds, subseconds) + "\n";
  }
  // A good record handed to the decoder; the first one creates the table.
  std::string written(bool first) const {
    return (first ? std::string(p.initialized) : "") + p.wrote;
  }
  // Both warnings of a last segment that matches nothing.
  std::string orphans(uint32_t first_s, int first_ss, uint32_t last_s, int last_ss) const {
    return orphan("FIRST", first_s, first_ss) + orphan("LAST ", last_s, last_ss);
  }
};

TEST_F(Dispatch, TwoPartRecordsAreMatchedByPacketTime) {
  for (const SegmentedProduct &p : kTwoPart) {
    SCOPED_TRACE(p.accumulated);
    const Messages m{p};
    const int n = p.size;
    Script s(dir, format("two%d", p.apid), p.inst);
    // Before any first segment the remembered time is 0:000.
    s.add(p.apid, 2, 0, 5, 0, 10).opened().say(m.orphans(0, 0, 5, 0));
    // First and last with the same time and the right size: handed on.
    s.add(p.apid, 1, 1, 100, 1, 1000).add(p.apid, 2, 2, 100, 1, n - 1000).say(m.accumulated(n));
    s.say(m.written(true));
    // The wrong size: dropped with the last segment's time and the collected size.
    s.add(p.apid, 1, 3, 200, 0, 10).add(p.apid, 2, 4, 200, 0, 20);
    s.say(m.accumulated(30)).say(m.drop(200, 0, 30));
    // A last segment of another time: remembered time first, then this one.
    s.add(p.apid, 1, 5, 300, 2, 100).add(p.apid, 2, 6, 300, 3, 50).say(m.orphans(300, 2, 300, 3));
    s.add(p.apid, 2, 7, 301, 2, 50).say(m.orphans(300, 2, 301, 2));
    // A second first segment replaces the first one without a message.
    s.add(p.apid, 1, 8, 400, 0, 500).add(p.apid, 1, 9, 401, 0, 8);
    s.add(p.apid, 2, 10, 400, 0, 10).say(m.orphans(401, 0, 400, 0));
    s.add(p.apid, 2, 11, 401, 0, n - 8).say(m.accumulated(n)).say(m.written(false));
    // The same last segment again is appended to the old bytes.
    s.add(p.apid, 2, 12, 401, 0, n - 8).say(m.accumulated(2 * n - 8));
    s.say(m.drop(401, 0, 2 * n - 8));
    // Middle and unsegmented packets are passed over and append nothing,
    // a middle one whose count follows the first segment's (9) too.
    s.add(p.apid, 0, 10, 401, 0, 5).add(p.apid, 3, 14, 401, 0, 5).add(p.apid, 3, 15, 9, 0, 0);
    s.add(p.apid, 2, 16, 401, 0, 1).say(m.accumulated(2 * n - 7)).say(m.drop(401, 0, 2 * n - 7));
    // A first segment of 0 bytes and a last one of the whole size.
    s.add(p.apid, 1, 17, 4294967295u, 255, 0).add(p.apid, 2, 18, 4294967295u, 255, n);
    s.say(m.accumulated(n)).say(m.written(false));
    expect_success(s, s.run());
  }
}

TEST_F(Dispatch, ThreePartRecordsAreMatchedByTimeAndCount) {
  for (const SegmentedProduct &p : kThreePart) {
    SCOPED_TRACE(p.accumulated);
    const Messages m{p};
    const int n = p.size;
    Script s(dir, format("three%d", p.apid), p.inst);
    // Counts 16382, 16383, 0: the count wraps; the right size gives only the
    // accumulated line.
    s.add(p.apid, 1, 16382, 500, 10, 4000).opened().add(p.apid, 0, 16383, 500, 10, 4000);
    s.add(p.apid, 2, 0, 500, 10, n - 8000).say(m.accumulated(n)).say(m.written(true));
    // A missing middle segment: the later middle ones and the last are orphans.
    s.add(p.apid, 1, 10, 600, 0, 1000).add(p.apid, 0, 12, 600, 0, 1000);
    s.say(m.orphan("MIDDLE", 600, 0));
    s.add(p.apid, 0, 13, 600, 0, 1000).say(m.orphan("MIDDLE", 600, 0));
    s.add(p.apid, 2, 14, 600, 0, 1000).say(m.orphans(600, 0, 600, 0));
    // A middle segment of another time is an orphan; the matching one goes on.
    s.add(p.apid, 1, 20, 700, 0, 100).add(p.apid, 0, 21, 700, 1, 100);
    s.say(m.orphan("MIDDLE", 700, 1));
    s.add(p.apid, 0, 21, 700, 0, 100).add(p.apid, 3, 22, 700, 0, 100);  // unsegmented: ignored
    s.add(p.apid, 2, 0, 700, 0, 50).say(m.accumulated(250)).say(m.drop(700, 0, 250));
    // A middle segment of count 0 is taken too; a last one of the same count is not.
    s.add(p.apid, 1, 16383, 800, 0, 2000).add(p.apid, 0, 0, 800, 0, 2000);
    s.add(p.apid, 0, 1, 800, 0, 2000).add(p.apid, 2, 1, 800, 0, 10);
    s.say(m.orphans(800, 0, 800, 0));
    s.add(p.apid, 2, 2, 800, 0, n - 6000).say(m.accumulated(n)).say(m.written(false));
    expect_success(s, s.run());
  }
}

// An accepted last segment completes the record but leaves the last count
// at the segment before it: the same last segment again still fits (and is
// appended to the old bytes), and so does a middle one of its count.
TEST_F(Dispatch, AcceptedLastSegmentKeepsTheLastCount) {
  for (const SegmentedProduct &p : kThreePart) {
    SCOPED_TRACE(p.accumulated);
    const Messages m{p};
    Script s(dir, format("last%d", p.apid), p.inst);
    s.add(p.apid, 1, 10, 900, 0, 100).opened().add(p.apid, 0, 11, 900, 0, 100);
    s.add(p.apid, 2, 12, 900, 0, 100).say(m.accumulated(300)).say(m.drop(900, 0, 300));
    s.add(p.apid, 2, 12, 900, 0, 100).say(m.accumulated(400)).say(m.drop(900, 0, 400));
    s.add(p.apid, 0, 12, 900, 0, 100);  // appended, no message
    s.add(p.apid, 2, 14, 900, 0, 100).say(m.orphans(900, 0, 900, 0));
    s.add(p.apid, 2, 13, 900, 0, 1).say(m.accumulated(501)).say(m.drop(900, 0, 501));
    // Count 0 fits after any count, for a last segment too.
    s.add(p.apid, 2, 0, 900, 0, 1).say(m.accumulated(502)).say(m.drop(900, 0, 502));
    expect_empty_edr(s, s.run());
  }
}

// The end of the input cuts the records still being collected: after the
// byte count, each one's first segment is reported as an orphan with its
// time, in the order of the products' APIDs 31, 41, 28, 34, 42. A record
// that was completed, or whose first segment a last segment of another time
// has reported already, is not reported again.
TEST_F(Dispatch, RecordsCutByTheEndOfTheInputAreReported) {
  for (int inst : {1, 2}) {
    SCOPED_TRACE(inst);
    std::vector<SegmentedProduct> unit;
    for (const SegmentedProduct &p : kTwoPart) {
      if (p.inst == inst) unit.push_back(p);
    }
    for (const SegmentedProduct &p : kThreePart) {
      if (p.inst == inst) unit.push_back(p);
    }
    Script s(dir, format("cut%d", inst), inst);
    std::string cut;
    uint16_t count = 100;
    for (size_t k = 0; k < unit.size(); ++k) {
      const SegmentedProduct &p = unit[k];
      const Messages m{p};
      const uint32_t t = 1000 + 10 * static_cast<uint32_t>(k);
      s.add(p.apid, 1, count, t, 1, 1000);
      if (k == 0) s.opened();
      s.add(p.apid, 2, static_cast<uint16_t>(count + 1), t, 1, p.size - 1000);
      s.say(m.accumulated(p.size)).say(m.written(true));
      // A first segment whose last one comes with another time: reported then.
      s.add(p.apid, 1, static_cast<uint16_t>(count + 2), t + 1, 0, 10);
      s.add(p.apid, 2, static_cast<uint16_t>(count + 3), t + 2, 0, 10);
      s.say(m.orphans(t + 1, 0, t + 2, 0));
      count = static_cast<uint16_t>(count + 4);
    }
    // Each product's last record is cut: its first segment (and for three
    // parts a middle one) came, its last one never does.
    for (size_t k = unit.size(); k-- > 0;) {
      const SegmentedProduct &p = unit[k];
      const uint32_t t = 2000 + static_cast<uint32_t>(k);
      s.add(p.apid, 1, count, t, static_cast<uint8_t>(k + 5), 100);
      if (p.size == 12934 || p.size == 8328)
        s.add(p.apid, 0, static_cast<uint16_t>(count + 1), t, static_cast<uint8_t>(k + 5), 100);
      count = static_cast<uint16_t>(count + 2);
    }
    for (size_t k = 0; k < unit.size(); ++k) {
      cut += Messages{unit[k]}.orphan("FIRST", 2000 + static_cast<uint32_t>(k),
                                      static_cast<int>(k + 5));
    }
    const harness::Run r = s.run();
    EXPECT_EQ(r.out, s.expected(cut + kSuccess));
    EXPECT_EQ(r.status, 0);
  }
  {
    SCOPED_TRACE("a first segment alone: reported, and the EDR is empty");
    const Messages m{kTwoPart[0]};
    Script s(dir, "cut_alone", 1);
    s.add(31, 1, 5, 77, 3, 10).opened();
    const harness::Run r = s.run();
    EXPECT_EQ(r.out, s.expected(m.orphan("FIRST", 77, 3) + kEmpty));
    EXPECT_EQ(r.status, 255);
  }
}

// Bytes beyond the 32768-byte reassembly buffer are never stored, but the
// collected size still counts them, so a record that passed the buffer can
// never reach its product's size: no later segment can complete a record
// out of segments that do not belong together. Only a new first segment
// starts a clean record.
TEST_F(Dispatch, RecordsPastTheReassemblyBufferAreAlwaysDropped) {
  {
    SCOPED_TRACE("GEM normal: first 3000 + last 30000, then another last of 454");
    const Messages m{kTwoPart[0]};
    Script s(dir, "over31", 1);
    s.add(31, 1, 0, 950, 9, 3000).opened().add(31, 2, 1, 950, 9, 30000);
    s.say(m.accumulated(33000)).say(m.drop(950, 9, 33000));
    s.add(31, 2, 2, 950, 9, 454).say(m.accumulated(33454)).say(m.drop(950, 9, 33454));
    expect_empty_edr(s, s.run());
  }
  {
    SCOPED_TRACE("GEM raw: repeated last segments");
    const Messages m{kTwoPart[1]};
    Script s(dir, "over41", 1);
    s.add(41, 1, 0, 950, 9, 30000).opened().add(41, 2, 1, 950, 9, 2000);
    s.say(m.accumulated(32000)).say(m.drop(950, 9, 32000));
    s.add(41, 2, 2, 950, 9, 768).say(m.accumulated(32768)).say(m.drop(950, 9, 32768));
    s.add(41, 2, 3, 950, 9, 30000).say(m.accumulated(62768)).say(m.drop(950, 9, 62768));
    expect_empty_edr(s, s.run());
  }
  {
    SCOPED_TRACE("GIM raw: first 8000, a middle of 30000, a last of 328");
    const Messages m{kThreePart[1]};
    Script s(dir, "over42", 2);
    s.add(42, 1, 100, 960, 1, 8000).opened().add(42, 0, 101, 960, 1, 30000);
    s.add(42, 2, 102, 960, 1, 328).say(m.accumulated(38328)).say(m.drop(960, 1, 38328));
    expect_empty_edr(s, s.run());
  }
  {
    SCOPED_TRACE("GIM diag: many middle segments");
    const Messages m{kThreePart[0]};
    Script s(dir, "over34", 2);
    s.add(34, 1, 0, 900, 0, 1000).opened();
    for (int count = 1; count <= 33; ++count) s.add(34, 0, count, 900, 0, 1000);  // 34000 bytes
    s.add(34, 2, 34, 900, 0, 1).say(m.accumulated(34001)).say(m.drop(900, 0, 34001));
    s.add(34, 0, 34, 900, 0, 1).add(34, 2, 0, 900, 0, 0);
    s.say(m.accumulated(34002)).say(m.drop(900, 0, 34002));
    // A new first segment starts afresh.
    s.add(34, 1, 100, 901, 0, 12000).add(34, 2, 101, 901, 0, 934).say(m.accumulated(12934));
    s.say(m.written(true));
    expect_success(s, s.run());
  }
}

// ---------------------------------------------------------------------------
// Star-tracker quaternions
// ---------------------------------------------------------------------------

using Quat = std::array<double, 5>;  // q1, q2, q3, q4, time in seconds

std::vector<uint8_t> quat_data(std::initializer_list<Quat> records) {
  std::vector<uint8_t> out;
  for (const Quat &q : records) {
    for (double v : q) tlm::put_be_double(out, v);
  }
  return out;
}

// The text line of one record: whole seconds, then the fraction in 1/256 s.
std::string quat_line(const Quat &q) {
  double whole = 0;
  const double fraction = std::modf(q[4], &whole);
  char line[256];
  snprintf(line, sizeof line, "%010.0f:%03.0f %-16.10e %-16.10e %-16.10e %-16.10e\n", whole,
           fraction * 256, q[0], q[1], q[2], q[3]);
  return line;
}

tlm::Packet quat_packet(uint16_t count, uint32_t seconds, std::initializer_list<Quat> records) {
  tlm::Packet p = packet(27, 3, count, seconds, 0, 0);
  p.data = quat_data(records);
  return p;
}

TEST_F(Dispatch, QuaternionRecordsBecomeTextLines) {
  const Quat a{0.5, -0.25, 0.125, 0.8125, 123.5};
  const Quat b{-0.7071067811865476, 0.7071067811865476, 1e-300, -123456.789, 1000000.25};
  const Quat c{1, 0, 0, 0, 0};
  const Quat d{0.1, 0.2, 0.3, 0.4, 4294967295.99609375};
  const Quat e{-0.1, -0.2, -0.3, -0.4, -2.5};
  const Quat f{3.25e-5, 2.0 / 3.0, -1.0 / 3.0, 0.9999999999, 86400.0078125};

  Script s(dir, "quats", 5);
  s.add(25, 3, 0, 1, 0, 52).add(32, 3, 1, 2, 0, 46);  // other instruments
  s.add(quat_packet(2, 10, {a, b})).opened();
  s.add(27, 3, 3, 11, 4, 0).say("WARNING: dropped STRK_QUAT " + at(11, 4) + " -- bad size 0\n");
  s.add(27, 1, 4, 12, 0, 39).say("WARNING: dropped STRK_QUAT " + at(12, 0) + " -- bad size 39\n");
  s.add(27, 3, 5, 4294967295u, 255, 41);
  s.say("WARNING: dropped STRK_QUAT " + at(4294967295u, 255) + " -- bad size 41\n");
  s.add(quat_packet(6, 13, {c}));
  s.add(24, 3, 7, 14, 0, 144);
  s.add(quat_packet(8, 15, {d, e, f}));
  harness::Run r = s.run();
  expect_success(s, r);

  const std::string text = harness::slurp(s.edr);
  EXPECT_EQ(text, quat_line(a) + quat_line(b) + quat_line(c) + quat_line(d) + quat_line(e) +
                      quat_line(f));
  // 123.5 s: 123 whole seconds and 128/256.
  EXPECT_EQ(text.substr(0, text.find('\n') + 1),
            "0000000123:128 5.0000000000e-01 -2.5000000000e-01 1.2500000000e-01 "
            "8.1250000000e-01\n");
  EXPECT_EQ(quat_line(e).substr(0, 15), "-000000002:-128");
}

TEST_F(Dispatch, QuaternionRunWithOnlyBadSizesMovesAnEmptyTextFile) {
  Script s(dir, "quats_bad", 5, "quats", 27);
  s.add(25, 3, 0, 1, 0, 52).add(27, 3, 1, 20, 0, 80 - 1).opened();
  s.say("WARNING: dropped STRK_QUAT " + at(20, 0) + " -- bad size 79\n");
  s.add(27, 3, 2, 21, 1, 0).say("WARNING: dropped STRK_QUAT " + at(21, 1) + " -- bad size 0\n");
  harness::write_file(s.tmp(), "stale work file of an earlier run\n");
  harness::write_file(s.edr, "old text output\n");
  harness::Run r = s.run();
  expect_success(s, r);
  EXPECT_EQ(harness::slurp(s.edr), "");
}

// ---------------------------------------------------------------------------
// Output file lifecycle
// ---------------------------------------------------------------------------

TEST_F(Dispatch, EdrPathIsReplacedOnlyBySuccessfulRun) {
  {
    SCOPED_TRACE("a failed run leaves the EDR path and overwrites a stale work file");
    Script s(dir, "keep", 3);
    s.add(25, 3, 0, 1, 0, 51)
        .opened()
        .say("WARNING: dropped CON HK " + at(1, 0) + " -- bad size 51\n");
    harness::write_file(s.edr, "an EDR of an earlier run");
    harness::write_file(s.tmp(), "stale work file");
    harness::Run r = s.run();
    EXPECT_EQ(r.out, s.expected(kEmpty));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(harness::slurp(s.edr), "an EDR of an earlier run");
    EXPECT_EQ(harness::slurp(s.tmp()).substr(0, 4), kHdfMagic);
  }
  {
    SCOPED_TRACE("a successful run replaces the EDR path");
    Script s(dir, "replace", 3);
    s.add(25, 3, 0, 1, 0, 52).opened().say(kConInitialized).say(kConWrote);
    harness::write_file(s.edr, "an EDR of an earlier run");
    harness::write_file(s.tmp(), "stale work file");
    expect_success(s, s.run());
    EXPECT_EQ(harness::slurp(s.edr).substr(0, 4), kHdfMagic);
  }
  {
    SCOPED_TRACE("a run without packets of its instrument creates nothing");
    Script s(dir, "nothing", 3);
    s.add(32, 3, 0, 1, 0, 46).add(27, 3, 1, 2, 0, 40);
    harness::write_file(s.edr, "an EDR of an earlier run");
    harness::Run r = s.run();
    EXPECT_EQ(r.out, s.expected(kNotCreated));
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(exists(s.tmp()));
    EXPECT_EQ(harness::slurp(s.edr), "an EDR of an earlier run");
  }
}

TEST_F(Dispatch, OutputThatCannotBeCreatedOrMovedIsFatal) {
  {
    SCOPED_TRACE("HDF work file in a missing directory");
    Script s(dir, "hopen", 3);
    s.edr = dir / "missing/out.hdf";
    s.add(24, 3, 0, 1, 0, 144).add(25, 3, 1, 2, 0, 52);
    harness::Run r = s.run();
    EXPECT_EQ(r.out, s.text() + "ERROR: Hopen failed\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(r.err.starts_with("Hopen(out)") || r.err.find("\nHopen(out)") != std::string::npos)
        << r.err;
    EXPECT_FALSE(exists(dir / "missing"));
  }
  {
    SCOPED_TRACE("text work file in a missing directory");
    Script s(dir, "fopen", 5);
    s.edr = dir / "missing/q.txt";
    s.add(27, 3, 0, 1, 0, 40);
    harness::Run r = s.run();
    EXPECT_EQ(r.out,
              s.text() + "ERROR: Cannot open output file " + dir.path() + "/missing/q.txt.tmp.\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(exists(dir / "missing"));
  }
  for (int inst : {3, 5}) {
    SCOPED_TRACE(format("EDR path is a non-empty directory, inst %d", inst));
    Script s(dir, format("rename%d", inst), inst);
    std::filesystem::create_directory(s.edr);
    harness::write_file(s.edr + "/keep", "x");
    if (inst == 3) {
      s.add(25, 3, 0, 1, 0, 52).opened().say(kConInitialized).say(kConWrote);
    } else {
      s.add(quat_packet(0, 1, {Quat{1, 2, 3, 4, 5}})).opened();
    }
    harness::Run r = s.run();
    EXPECT_EQ(r.out, s.expected(kRenameFailed));
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(exists(s.tmp()));
    EXPECT_TRUE(std::filesystem::is_directory(s.edr));
    EXPECT_EQ(harness::slurp(s.edr + "/keep"), "x");
    if (inst == 5) {
      EXPECT_EQ(harness::slurp(s.tmp()), quat_line(Quat{1, 2, 3, 4, 5}));
    }
  }
}

}  // namespace
