// The command line: every message, the usage text and the configuration echo,
// each compared whole with what the real program prints.
#include <gtest/gtest.h>

#include "harness.h"

using harness::echo;
using harness::run_edr;

namespace {

const char kUsage[] =
    "\n"
    "Halcyon EDR Generator (hlc_edr), Version 4.1.0, rebuilt generator, 2026-12-07\n"
    "\n"
    "Usage:\n"
    "\n"
    "  > hlc_edr  -inst gem|gim|con|mec|acs\n"
    "            [-apid normal|hk|mancal|diag|raw|f1d|quats]\n"
    "             -tlm tlm_file\n"
    "             -edr hdf_file\n"
    "\n";

const char kTooFew[] = "ERROR: Too few command line arguments.\n";
const char kNotCreated[] = "ERROR: Output EDR or text file was not created.\n";

void expect_failure(const std::vector<std::string> &args, const std::string &out) {
  harness::Run r = run_edr(args);
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 255);
}

// A run on an empty TLM file: the echo, the byte count, and no output.
std::string empty_run(int inst, int apid, const std::string &tlm, const std::string &edr) {
  return echo(inst, apid, tlm, edr) + "Accumulated processed byte count: 0\n" + kNotCreated;
}

TEST(CommandLine, UsageForFewerThanTwoWords) {
  expect_failure({}, kUsage);
  expect_failure({"-inst"}, kUsage);
}

TEST(CommandLine, BadOrOutOfOrderOptionNamesTheWord) {
  expect_failure({"-tlm", "a.tlm", "-inst", "gem", "-edr", "a.hdf"},
                 "ERROR: Bad or out-of-order option ``-tlm''.\n");
  expect_failure({"-inst", "gem", "-edr", "a.hdf", "-tlm", "a.tlm"},
                 "ERROR: Bad or out-of-order option ``-edr''.\n");
  expect_failure({"-inst", "gem", "-apid", "hk", "-edr", "a.hdf"},
                 "ERROR: Bad or out-of-order option ``-edr''.\n");
  expect_failure({"-inst", "gem", "-tlm", "a.tlm", "-out", "a.hdf"},
                 "ERROR: Bad or out-of-order option ``-out''.\n");
  expect_failure({"-INST", "gem"}, "ERROR: Bad or out-of-order option ``-INST''.\n");
}

TEST(CommandLine, InstrumentWordsAreExactAndLowerCase) {
  expect_failure({"-inst", "GEM", "-tlm", "a.tlm", "-edr", "a.hdf"},
                 "ERROR: Cannot recognize instrument ``GEM''.\n");
  expect_failure({"-inst", "ge"}, "ERROR: Cannot recognize instrument ``ge''.\n");
}

TEST(CommandLine, ApidKinds) {
  expect_failure({"-inst", "gim", "-apid", "house", "-tlm", "a", "-edr", "b"},
                 "ERROR: Cannot recognize APID type ``house''.\n");
  expect_failure({"-inst", "gem", "-apid", "diag", "-tlm", "a", "-edr", "b"},
                 "ERROR: No such APID for this instrument.\n");
  expect_failure({"-inst", "acs", "-apid", "hk", "-tlm", "a", "-edr", "b"},
                 "ERROR: No such APID for this instrument.\n");
  expect_failure({"-inst", "con", "-apid", "quats", "-tlm", "a", "-edr", "b"},
                 "ERROR: No such APID for this instrument.\n");
}

TEST(CommandLine, TooFewArguments) {
  expect_failure({"-inst", "gem"}, kTooFew);
  expect_failure({"-inst", "gem", "-apid"}, kTooFew);
  expect_failure({"-inst", "gem", "-apid", "hk"}, kTooFew);
  expect_failure({"-inst", "gem", "-tlm"}, kTooFew);
  expect_failure({"-inst", "gem", "-tlm", "a.tlm"}, kTooFew);
  expect_failure({"-inst", "gem", "-tlm", "a.tlm", "-edr"}, kTooFew);
}

// Every instrument and kind: the selected APID comes from the table.
TEST(CommandLine, EchoShowsInstrumentAndApid) {
  harness::TempDir dir;
  const std::string tlm = dir / "empty.tlm";
  harness::write_file(tlm, "");
  struct Case {
    const char *inst;
    const char *kind;
    int code;
    int apid;
  } cases[] = {
      {"gem", nullptr, 1, 0},   {"gem", "hk", 1, 32},     {"gem", "normal", 1, 31},
      {"gem", "mancal", 1, 33}, {"gem", "raw", 1, 41},    {"gim", "hk", 2, 29},
      {"gim", "normal", 2, 28}, {"gim", "mancal", 2, 30}, {"gim", "raw", 2, 42},
      {"gim", "diag", 2, 34},   {"con", "hk", 3, 25},     {"con", nullptr, 3, 0},
      {"mec", "hk", 4, 24},     {"mec", "f1d", 4, 26},    {"acs", "quats", 5, 27},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args{"-inst", c.inst};
    if (c.kind != nullptr) {
      args.push_back("-apid");
      args.push_back(c.kind);
    }
    const std::string edr = dir / "out.hdf";
    args.insert(args.end(), {"-tlm", tlm, "-edr", edr});
    SCOPED_TRACE(std::string(c.inst) + " " + (c.kind ? c.kind : "-"));
    expect_failure(args, empty_run(c.code, c.apid, tlm, edr));
  }
}

TEST(CommandLine, WordsAfterTheEdrPathAreIgnored) {
  harness::TempDir dir;
  const std::string tlm = dir / "empty.tlm";
  harness::write_file(tlm, "");
  expect_failure({"-inst", "mec", "-tlm", tlm, "-edr", "x.hdf", "-apid", "bogus", "more"},
                 empty_run(4, 0, tlm, "x.hdf"));
}

TEST(CommandLine, PathLimits) {
  harness::TempDir dir;
  const std::string tlm = dir / "empty.tlm";
  harness::write_file(tlm, "");
  // 1019 characters is the longest EDR path; its work name fills 1023.
  const std::string edr_max = "/tmp/" + std::string(1014, 'e');
  expect_failure({"-inst", "gem", "-tlm", tlm, "-edr", edr_max}, empty_run(1, 0, tlm, edr_max));
  expect_failure({"-inst", "gem", "-tlm", tlm, "-edr", edr_max + "e"},
                 "ERROR: EDR file path is longer than 1019 characters.\n");
  // 1023 characters is the longest TLM path; it is copied whole.
  const std::string tlm_max = "/tmp/" + std::string(1018, 't');
  expect_failure({"-inst", "gem", "-tlm", tlm_max, "-edr", "a.hdf"},
                 echo(1, 0, tlm_max, "a.hdf") + "ERROR: Failed to open TLM file.\n");
  expect_failure({"-inst", "gem", "-tlm", tlm_max + "t", "-edr", "a.hdf"},
                 "ERROR: TLM file path is longer than 1023 characters.\n");
  // A path far beyond any buffer is refused the same way.
  expect_failure({"-inst", "gem", "-tlm", std::string(100000, 'x'), "-edr", "a.hdf"},
                 "ERROR: TLM file path is longer than 1023 characters.\n");
}

}  // namespace
