// Runs that meet other runs or signals while they go: real processes whose
// order is set by feeding their TLM input through FIFOs in parts, and by
// reading their log, which a run writes out whenever it waits for input.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "tlm_builder.h"

using harness::Background;
using harness::exists;
using harness::Fifo;
using harness::Script;
using harness::slurp;

namespace {

const char kSuccess[] = "Program run completed successfully.\n";
const char kConInitialized[] = "   initialized Concentrator h/k\n";
const char kConWrote[] = "      wrote Concentrator h/k record\n";
const std::string kEarlier = "an output of an earlier run";

// A packet of one record of the unit (3 Concentrator, 5 quaternions), with
// sequence count `count`, which also starts its bytes; its listing line only.
void add_packet(Script &s, int inst, int count) {
  s.add(inst == 3 ? 25 : 27, 3, static_cast<uint16_t>(count), 1000u + count, 0,
        inst == 3 ? 52 : 40);
}

// `n` such packets from sequence count `count`, with the log lines they
// give; the first one opens the output when `opens`.
void add_records(Script &s, int inst, int count, int n, bool opens) {
  for (int i = 0; i < n; ++i) {
    add_packet(s, inst, count + i);
    if (i == 0 && opens) {
      s.opened();
      if (inst == 3) s.say(kConInitialized);
    }
    if (inst == 3) s.say(kConWrote);
  }
}

// A packet of another unit (GEM housekeeping): listed, never kept.
void add_foreign(Script &s) {
  s.add(32, 3, 7, 999, 0, 46);
}

ino_t inode(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class LiveRun : public ::testing::Test {
 protected:
  harness::TempDir dir;
  std::string edr = dir / "out";
  std::string work = edr + ".tmp";

  void SetUp() override { harness::write_file(edr, kEarlier); }

  // The output of a run of the same TLM bytes alone, to another path.
  std::string alone(const Script &s, int inst) {
    const std::string tlm = dir / "alone.tlm";
    const std::string out = dir / "alone.out";
    tlm::write_file(tlm, s.bytes());
    const harness::Run r =
        harness::run_edr({"-inst", harness::kInstWords[inst], "-tlm", tlm, "-edr", out});
    EXPECT_EQ(r.status, 0) << r.out;
    const std::string bytes = slurp(out);
    unlink(out.c_str());
    return bytes;
  }
};

std::string held(const std::string &edr) {
  return "ERROR: Output file " + edr + " is being written by another run.\n";
}

// Run A holds the work file, blocked in the middle of its input. Run B on
// the same EDR path is refused, whether it starts then (refused at once) or
// started first but reaches its first packet of the unit only then; it
// changes nothing. A then ends with its own complete data under the final
// name, in the very file it created and locked.
TEST_F(LiveRun, TheRunHoldingTheWorkFileWinsAndTheOtherChangesNothing) {
  struct Case {
    int inst;
    bool b_first;
  };
  const Case cases[] = {{3, false}, {3, true}, {5, false}, {5, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "inst " << c.inst << (c.b_first ? ", B first" : ""));
    harness::write_file(edr, kEarlier);
    Script a(dir, "a", c.inst);
    a.edr = edr;
    add_records(a, c.inst, 0, 3, true);
    const size_t a_cut = a.bytes().size();
    const std::string a_first = a.text();
    add_records(a, c.inst, 3, 3, false);

    Script b(dir, "b", c.inst);
    b.edr = edr;
    add_foreign(b);
    const size_t b_cut = b.bytes().size();
    const std::string b_first = b.text();
    add_packet(b, c.inst, 100);
    const std::string b_refused =
        c.b_first ? b.text() + held(edr) : harness::echo(c.inst, 0, b.tlm(), edr) + held(edr);
    add_packet(b, c.inst, 101);

    // B's input is a FIFO only when B starts first.
    std::unique_ptr<Fifo> b_in;
    std::unique_ptr<Background> b_run;
    if (c.b_first) {
      b_in = std::make_unique<Fifo>(b.tlm());
      b_run = std::make_unique<Background>(b.args());
      b_in->write(b.bytes(), 0, b_cut);
      EXPECT_EQ(b_run->read_until(b_first), b_first);
    }
    Fifo a_in(a.tlm());
    Background a_run(a.args());
    a_in.write(a.bytes(), 0, a_cut);
    EXPECT_EQ(a_run.read_until(a_first), a_first);
    const ino_t a_file = inode(work);

    const harness::Run rb = [&] {
      if (!c.b_first) return b.run();
      b_in->write(b.bytes(), b_cut, b.bytes().size());
      b_in->close();
      return b_run->finish();
    }();
    EXPECT_EQ(rb.out, b_refused);
    EXPECT_EQ(rb.status, 255);
    EXPECT_EQ(slurp(edr), kEarlier);
    EXPECT_EQ(inode(work), a_file);

    a_in.write(a.bytes(), a_cut, a.bytes().size());
    a_in.close();
    const harness::Run ra = a_run.finish();
    EXPECT_EQ(ra.out, a.expected(kSuccess));
    EXPECT_EQ(ra.status, 0);
    EXPECT_EQ(slurp(edr), alone(a, c.inst));
    EXPECT_EQ(inode(edr), a_file);
    EXPECT_FALSE(exists(work));
    unlink(a.tlm().c_str());
    unlink(b.tlm().c_str());
  }
}

// The work file of a run killed with SIGKILL holds no lock any more: the
// next run removes it as stale and succeeds, with the usual log.
TEST_F(LiveRun, StaleWorkFileOfAKilledRunIsReplaced) {
  for (int inst : {3, 5}) {
    SCOPED_TRACE(testing::Message() << "inst " << inst);
    Script killed(dir, "killed", inst);
    killed.edr = edr;
    add_records(killed, inst, 0, 2, true);
    Fifo in(killed.tlm());
    Background run(killed.args());
    in.write(killed.bytes(), 0, killed.bytes().size());
    EXPECT_EQ(run.read_until(killed.text()), killed.text());
    run.signal(SIGKILL);
    EXPECT_EQ(run.finish().status, 1000 + SIGKILL);
    EXPECT_TRUE(exists(work));

    Script next(dir, "next", inst);
    next.edr = edr;
    add_records(next, inst, 50, 2, true);
    const harness::Run r = next.run();
    EXPECT_EQ(r.out, next.expected(kSuccess));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(slurp(edr), alone(next, inst));
    EXPECT_FALSE(exists(work));
    unlink(killed.tlm().c_str());
  }
}

// A work file removed, or replaced by another file, while the run writes
// it: the run ends with an "ERROR: " line, the final name keeps what it
// held and the file now under the work name is left as it is.
TEST_F(LiveRun, WorkFileRemovedOrReplacedDuringTheRunIsNotMoved) {
  const std::string other = dir / "other";
  for (int inst : {3, 5}) {
    for (bool replaced : {false, true}) {
      SCOPED_TRACE(testing::Message() << "inst " << inst << (replaced ? " replaced" : " removed"));
      Script s(dir, "s", inst);
      s.edr = edr;
      add_records(s, inst, 0, 2, true);
      const size_t cut = s.bytes().size();
      const std::string first = s.text();
      add_records(s, inst, 2, 2, false);
      Fifo in(s.tlm());
      Background run(s.args());
      in.write(s.bytes(), 0, cut);
      EXPECT_EQ(run.read_until(first), first);
      if (replaced) {
        harness::write_file(other, "another file");
        ASSERT_EQ(rename(other.c_str(), work.c_str()), 0);
      } else {
        ASSERT_EQ(unlink(work.c_str()), 0);
      }
      in.write(s.bytes(), cut, s.bytes().size());
      in.close();
      const harness::Run r = run.finish();
      EXPECT_EQ(r.out, s.expected("ERROR: Work file " + work +
                                  " was removed or replaced during the run; " + edr +
                                  " was not changed.\n"));
      EXPECT_EQ(r.status, 255);
      EXPECT_EQ(slurp(edr), kEarlier);
      EXPECT_EQ(replaced ? slurp(work) : "", replaced ? "another file" : "");
      EXPECT_EQ(exists(work), replaced);
      unlink(work.c_str());
      unlink(s.tlm().c_str());
    }
  }
}

// SIGINT, SIGTERM or SIGHUP while the run waits for input from a FIFO: the
// log holds every line the run had produced, then an "ERROR: " line naming
// the signal, and the run ends by that signal; the work file (if the run
// had created one) stays, the final name keeps what it held. A signal that
// was ignored when the program started stays ignored.
TEST_F(LiveRun, SignalEndsTheRunWithItsLogWhole) {
  enum Where { kAfterRecords, kMidRecord, kBeforeOutput };
  struct Case {
    int number;
    const char *name;
    Where where;
    bool ignored;
  };
  const Case cases[] = {{SIGINT, "SIGINT", kAfterRecords, false},
                        {SIGTERM, "SIGTERM", kMidRecord, false},
                        {SIGHUP, "SIGHUP", kBeforeOutput, false},
                        {SIGHUP, "SIGHUP", kAfterRecords, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.name << " at " << c.where << (c.ignored ? " ignored" : ""));
    harness::write_file(edr, kEarlier);
    unlink(work.c_str());
    Script s(dir, "s", 3);
    s.edr = edr;
    if (c.where == kBeforeOutput) {
      add_foreign(s);
    } else {
      add_records(s, 3, 0, 40, true);
    }
    const std::string first = s.text();
    size_t cut = s.bytes().size();
    add_records(s, 3, 40, 2, c.where == kBeforeOutput);
    if (c.where == kMidRecord) cut += 30;

    Fifo in(s.tlm());
    Background run(s.args(), c.ignored ? std::vector<int>{c.number} : std::vector<int>{});
    in.write(s.bytes(), 0, cut);
    EXPECT_EQ(run.read_until(first), first);
    run.signal(c.number);
    if (c.ignored) {
      in.write(s.bytes(), cut, s.bytes().size());
      in.close();
    }
    const harness::Run r = run.finish();
    if (c.ignored) {
      EXPECT_EQ(r.out, s.expected(kSuccess));
      EXPECT_EQ(r.status, 0);
    } else {
      EXPECT_EQ(r.out, first + "ERROR: Interrupted by signal " + c.name + ".\n");
      EXPECT_EQ(r.status, 1000 + c.number);
      EXPECT_EQ(slurp(edr), kEarlier);
      EXPECT_EQ(exists(work), c.where != kBeforeOutput);
    }
    unlink(s.tlm().c_str());
  }
}

// Two signals back to back, many times: the second ends the run at once,
// and the log still holds every line the run had printed, then the "ERROR: "
// line of the first signal, and the run ends by it. Tried while the run
// waits for input from a FIFO, and while it is busy with a long input whose
// log it writes to a pipe.
TEST_F(LiveRun, TwoSignalsKeepTheLogWhole) {
  const int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
  const char *const kNames[] = {"SIGTERM", "SIGINT", "SIGHUP"};
  for (int i = 0; i < 30; ++i) {
    SCOPED_TRACE(testing::Message() << "waiting, try " << i);
    const int k = i % 3;
    Script s(dir, "w", 3);
    s.edr = edr;
    add_records(s, 3, 0, 5, true);
    const std::string first = s.text();
    const size_t cut = s.bytes().size();
    add_records(s, 3, 5, 2, false);
    Fifo in(s.tlm());
    Background run(s.args());
    in.write(s.bytes(), 0, cut);
    ASSERT_EQ(run.read_until(first), first);
    run.signal(kSignals[k]);
    run.signal(kSignals[k]);
    const harness::Run r = run.finish();
    EXPECT_EQ(r.out, first + "ERROR: Interrupted by signal " + kNames[k] + ".\n");
    EXPECT_EQ(r.status, 1000 + kSignals[k]);
    EXPECT_EQ(slurp(edr), kEarlier);
    unlink(s.tlm().c_str());
  }
  Script big(dir, "busy", 3);
  big.edr = edr;
  add_records(big, 3, 0, 60000, true);
  const std::string whole = big.expected(kSuccess);
  big.run();  // writes the TLM file
  unlink(edr.c_str());
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(testing::Message() << "busy, try " << i);
    Background run(big.args());
    // Some of the log first, a different amount each time.
    run.read_until(whole.substr(0, 2000 + 150000 * static_cast<size_t>(i)));
    run.signal(SIGTERM);
    run.signal(SIGTERM);
    const harness::Run r = run.finish();
    const std::string line = "ERROR: Interrupted by signal SIGTERM.\n";
    ASSERT_GE(r.out.size(), line.size());
    const std::string before = r.out.substr(0, r.out.size() - line.size());
    EXPECT_EQ(r.out.substr(before.size()), line);
    size_t differ = 0;
    while (differ < before.size() && differ < whole.size() && before[differ] == whole[differ]) {
      ++differ;
    }
    EXPECT_EQ(differ, before.size())
        << "not the run's own log from byte " << differ << ": "
        << before.substr(differ > 200 ? differ - 200 : 0, 400)
        << "\nexpected: " << whole.substr(differ > 200 ? differ - 200 : 0, 400);
    EXPECT_EQ(before.back(), '\n');
    EXPECT_EQ(r.status, 1000 + SIGTERM);
    EXPECT_FALSE(exists(edr));
  }
}

}  // namespace
