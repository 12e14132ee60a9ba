// The output never destroys the input, never writes through a stale link,
// and a full disk or a file-size limit ends the run with a message: real
// file system objects (hard and symbolic links, a real "ulimit -f" in a
// child shell) through the real program.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "harness.h"
#include "tlm_builder.h"

using harness::exists;
using harness::format;
using harness::Script;
using harness::slurp;

namespace {

const std::string kHdfMagic = "\x0e\x03\x13\x01";

bool is_regular_file(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

class OutputSafety : public ::testing::Test {
 protected:
  harness::TempDir dir;
  std::string tlm = dir / "in.tlm";

  // Concentrator housekeeping and quaternion packets: `packets` of each.
  std::string write_tlm(int packets) {
    tlm::Builder b;
    for (int i = 0; i < packets; ++i) {
      tlm::Packet con;
      con.apid = 25;
      con.seconds = static_cast<uint32_t>(i);
      con.data = tlm::ramp(104, static_cast<uint8_t>(i));
      b.add(con);
      tlm::Packet quat;
      quat.apid = 27;
      quat.seconds = static_cast<uint32_t>(i);
      for (int k = 0; k < 10; ++k) tlm::put_be_double(quat.data, 0.125 * (i + k));
      b.add(quat);
    }
    b.write(tlm);
    return slurp(tlm);
  }

  // The directory's entries: name, type, inode and size.
  std::string listing() const {
    std::string out;
    for (const auto &e : std::filesystem::recursive_directory_iterator(dir.path())) {
      struct stat st;
      lstat(e.path().c_str(), &st);
      out += format("%s %o %lu %ld\n", e.path().c_str(), st.st_mode,
                    static_cast<unsigned long>(st.st_ino), static_cast<long>(st.st_size));
    }
    return out;
  }

  // The run's output when it is refused before anything is created.
  std::string refused(const char *inst, const std::string &tlm_path, const std::string &edr,
                      const std::string &same) {
    return harness::echo(inst[0] == 'a' ? 5 : 3, 0, tlm_path, edr) +
           "ERROR: TLM file and output file " + same + " are the same file.\n";
  }
};

TEST_F(OutputSafety, InputThatIsTheOutputIsRefusedBeforeAnythingIsCreated) {
  const std::string input = write_tlm(10);
  struct Case {
    const char *what;
    const char *inst;
    std::string tlm, edr, same;
    std::function<void()> prepare;
  };
  const std::string q = dir / "q.txt";
  const std::string h = dir / "h.hdf";
  const std::vector<Case> cases = {
      {"the TLM path is the work name", "acs", q + ".tmp", q, q + ".tmp",
       [&] { harness::write_file(q + ".tmp", input); }},
      {"the TLM path is the EDR path", "con", tlm, tlm, tlm, [] {}},
      {"the work name is a hard link to the TLM file", "con", tlm, h, h + ".tmp",
       [&] { ASSERT_EQ(link(tlm.c_str(), (h + ".tmp").c_str()), 0); }},
      {"the EDR path is a symbolic link to the TLM file", "acs", tlm, q, q,
       [&] { ASSERT_EQ(symlink(tlm.c_str(), q.c_str()), 0); }},
      {"the TLM path is another spelling of the EDR path", "con", dir / "./sub/../in.tlm", tlm, tlm,
       [&] { mkdir((dir / "sub").c_str(), 0700); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    c.prepare();
    const std::string before = listing();
    const harness::Run r = harness::run_edr({"-inst", c.inst, "-tlm", c.tlm, "-edr", c.edr});
    EXPECT_EQ(r.out, refused(c.inst, c.tlm, c.edr, c.same));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(slurp(c.tlm), input);
    EXPECT_EQ(listing(), before);  // nothing created, removed or replaced
    unlink(q.c_str());
    unlink((q + ".tmp").c_str());
    unlink((h + ".tmp").c_str());
  }
}

// A stale work file that is a symbolic link is removed, not written
// through: the file it names keeps its bytes and the EDR is a new file.
TEST_F(OutputSafety, StaleWorkFileThatIsALinkIsReplacedNotFollowed) {
  write_tlm(2);
  for (const char *inst : {"con", "acs"}) {
    SCOPED_TRACE(inst);
    const std::string victim = dir / (std::string("victim_") + inst);
    const std::string edr = dir / (std::string("out_") + inst);
    harness::write_file(victim, "precious\n");
    ASSERT_EQ(symlink(victim.c_str(), (edr + ".tmp").c_str()), 0);
    const harness::Run r = harness::run_edr({"-inst", inst, "-tlm", tlm, "-edr", edr});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(slurp(victim), "precious\n");
    EXPECT_TRUE(is_regular_file(edr));
    EXPECT_FALSE(exists(edr + ".tmp"));
    if (inst[0] == 'c') {
      EXPECT_EQ(slurp(edr).substr(0, 4), kHdfMagic);
    }
  }
}

// A file-size limit reached while writing: the failing write is reported
// through the usual messages, with status -1, and the final name is never
// created. Standard output goes through a pipe, out of the limit's reach.
TEST_F(OutputSafety, FileSizeLimitEndsTheRunWithAMessage) {
  const std::string input = write_tlm(2000);
  struct Case {
    const char *inst;
    std::string last;
  };
  const std::string q = dir / "q.txt";
  const Case cases[] = {{"con", "ERROR: write_con_hk() failed\n"},
                        {"acs", "ERROR: Failed to close output file " + q + ".tmp.\n"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.inst);
    const std::string edr = c.inst[0] == 'c' ? dir / "h.hdf" : q;
    harness::write_file(edr, "an output of an earlier run");
    const harness::Run r = harness::run(
        {"/bin/bash", "-c", "set -o pipefail; (ulimit -f 16; exec \"$0\" \"$@\") | cat",
         HLC_EDR_PROGRAM, "-inst", c.inst, "-tlm", tlm, "-edr", edr});
    EXPECT_TRUE(r.out.ends_with(c.last))
        << r.out.substr(r.out.size() > 300 ? r.out.size() - 300 : 0);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(slurp(tlm), input);
    EXPECT_EQ(slurp(edr), "an output of an earlier run");
    EXPECT_TRUE(exists(edr + ".tmp"));
  }
}

}  // namespace
