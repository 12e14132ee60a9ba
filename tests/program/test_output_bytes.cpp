// The bytes of every output the program writes, held fixed: for each unit,
// one TLM file with packets of every APID (records of every product, and
// every kind of packet that the log reports and drops) goes through the
// program, and its log and its EDR or text file must be byte for byte those
// of the checksums below, taken from the program as it stood when they were
// written. The same file read from a FIFO, fed in pieces that cut records at
// any byte, gives the same bytes.
//
// The runs name their files by relative paths, which is all the log and the
// EDR keep of them (HDF4 stores the name of the file it creates), so that
// the bytes do not depend on where the test runs. An HDF4 file also keeps
// the version of the library that wrote it: with another HDF4 release the
// EDR checksums are not compared, the logs still are.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "hdf.h"
#include "tlm_builder.h"

namespace {

// The HDF4 release that wrote the EDRs of the checksums.
constexpr char kHdfRelease[] = "HDF Version 4.2 Release 15, November 28, 2019";

// The EDRs are those of records written in blocks: a table whose records
// came in one block is one element of the file rather than a chain of linked
// blocks, and the reference numbers that linked blocks would take are not
// handed out.
struct Expected {
  const char *inst;
  uint64_t log, output;
};
constexpr Expected kExpected[] = {
    {"gem", 0xa3bf0118772fe8ca, 0xf59290108a1855aa},
    {"gim", 0x08e80546a7fb30e9, 0xcd9b5b97b76d2dec},
    {"con", 0x097f86b12cd6b093, 0xd957409d2c42fa1a},
    {"mec", 0x6830ec8f85ffc6cd, 0x3eeff850e165218b},
    {"acs", 0xb131c4e1b09a174d, 0xef1c4b63d501ce28},
};

uint64_t fnv1a(const std::string &bytes) {
  uint64_t h = 14695981039346656037ULL;
  for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ULL;
  return h;
}

struct Kind {
  uint16_t apid;
  size_t size;  // record bytes
  int parts;    // 1 fixed records, 2 first + last, 3 first + middles + last
};
constexpr Kind kKinds[] = {
    {32, 46, 1},  {33, 50, 1},   {31, 3454, 2},  {41, 2360, 2}, {29, 66, 1},
    {30, 94, 1},  {28, 3336, 2}, {34, 12934, 3}, {42, 8328, 3}, {25, 52, 1},
    {24, 144, 1}, {26, 168, 1},  {27, 40, 1},
};

// Packets of every APID in turn, with random bytes, and among them every
// kind of packet or record that the log reports: wrong sizes, filled
// packets, orphan and repeated segments, a sequence count that wraps,
// unsegmented and middle segments where they carry nothing, records that
// are too long or framed beyond their ends, another label.
class Input {
 public:
  std::vector<uint8_t> build() {
    for (int cycle = 0; cycle < 40; ++cycle) {
      for (const Kind &k : kKinds) add(k, cycle);
    }
    framing_faults();
    return b_.bytes();
  }

 private:
  std::vector<uint8_t> bytes(size_t n) {
    std::vector<uint8_t> v(n);
    for (uint8_t &x : v) x = static_cast<uint8_t>(rng_());
    return v;
  }

  tlm::Packet packet(uint16_t apid, uint8_t flags, std::vector<uint8_t> data) {
    tlm::Packet p;
    p.apid = apid;
    p.flags = flags;
    p.count = count_++ & 0x3FFF;
    p.seconds = seconds_;
    p.subseconds = subseconds_;
    p.data = std::move(data);
    if (++packets_ % 29 == 0) {  // filled, with a size before fill below 11 at times
      p.fill = true;
      p.prefill_size = static_cast<uint16_t>(rng_() % 2 == 0 ? rng_() % 11 : rng_() % 9000);
    }
    return p;
  }

  void add(const Kind &k, int cycle) {
    ++seconds_;
    subseconds_ = static_cast<uint8_t>(rng_());
    if (k.parts == 1) {
      size_t n = k.size * (1 + static_cast<size_t>(cycle) % 4);
      if (cycle % 7 == 3) n += 1 + rng_() % (k.size - 1);
      if (cycle % 11 == 5) n = 0;
      b_.add(packet(k.apid, 3, bytes(n)));
      return;
    }
    if (k.parts == 3 && cycle == 10) count_ = 16382;  // wraps within the record
    const std::vector<uint8_t> data = bytes(k.size);
    const size_t pieces = k.parts == 2 ? 2 : 2 + 1 + static_cast<size_t>(cycle) % 3;
    if (cycle % 6 == 2) b_.add(packet(k.apid, 1, bytes(100)));  // replaced by the next first
    if (cycle % 10 == 9) b_.add(packet(k.apid, 3, bytes(64)));  // unsegmented: passed over
    for (size_t i = 0; i < pieces; ++i) {
      const uint8_t flags = i == 0 ? 1 : i + 1 == pieces ? 2 : 0;
      std::vector<uint8_t> part(data.begin() + static_cast<long>(k.size * i / pieces),
                                data.begin() + static_cast<long>(k.size * (i + 1) / pieces));
      if (flags == 0 && cycle % 9 == 7) {  // a missing middle: the rest are orphans
        ++count_;
        continue;
      }
      if (flags == 2 && cycle % 5 == 1) ++seconds_;  // an orphan last
      if (flags == 2 && k.parts == 2 && cycle % 13 == 4) b_.add(packet(k.apid, 0, bytes(10)));
      b_.add(packet(k.apid, flags, part));
      if (flags == 2 && cycle % 8 == 4) b_.add(packet(k.apid, flags, part));  // repeated
    }
  }

  // Records that the reader drops or reports for their framing.
  void framing_faults() {
    b_.add(unfilled(bytes(33000)));  // longer than the packet buffer
    std::vector<uint8_t> r = tlm::record(unfilled(bytes(52)));
    r[26] = r[27] = 0xFF;  // header block 2 beyond the record
    b_.raw(r);
    r = tlm::record(unfilled(bytes(52)));
    r[22] = 0x7F;  // the packet beyond the record
    b_.raw(r);
    tlm::Packet p = unfilled(bytes(52));
    p.length_field = 500;  // user data beyond the record
    b_.add(p);
    tlm::Framing other;
    other.authority = "NJPL";
    b_.add(unfilled(bytes(104)), other);
  }

  tlm::Packet unfilled(std::vector<uint8_t> data) {
    tlm::Packet p = packet(25, 3, std::move(data));
    p.fill = false;
    p.prefill_size.reset();
    return p;
  }

  tlm::Builder b_;
  std::mt19937 rng_{20261207};
  uint32_t seconds_ = 400000000;
  uint8_t subseconds_ = 0;
  uint16_t count_ = 0;
  int packets_ = 0;
};

struct Output {
  harness::Run run;
  std::string output;  // the EDR, or the text file of an "acs" run
};

// Runs in `dir`, with the TLM file and the output named relative to it.
template <class F>
Output in_dir(const harness::TempDir &dir, F run) {
  char *here = getcwd(nullptr, 0);
  if (here == nullptr || chdir(dir.path().c_str()) != 0) throw std::runtime_error("chdir");
  Output o{run(), ""};
  o.output = harness::slurp(dir / "out.hdf");
  const int back = chdir(here);
  free(here);
  if (back != 0) throw std::runtime_error("chdir");
  return o;
}

std::vector<std::string> args(const char *inst) {
  return {"-inst", inst, "-tlm", "in.tlm", "-edr", "out.hdf"};
}

Output from_file(const std::vector<uint8_t> &tlm, const char *inst) {
  harness::TempDir dir;
  tlm::write_file(dir / "in.tlm", tlm);
  return in_dir(dir, [&] { return harness::run_edr(args(inst)); });
}

// The program reads what a writer puts into the FIFO piece by piece.
Output from_fifo(const std::vector<uint8_t> &tlm, const char *inst) {
  harness::TempDir dir;
  return in_dir(dir, [&] {
    harness::Fifo in("in.tlm");
    harness::Background program(args(inst));
    std::thread writer([&] {
      size_t at = 0;
      for (size_t i = 0; at < tlm.size(); ++i) {
        const size_t piece = std::min(tlm.size() - at, 1 + (i * 7919) % 20011);
        in.write(tlm, at, at + piece);
        at += piece;
      }
      in.close();
    });
    harness::Run r = program.finish();
    writer.join();
    return r;
  });
}

std::string hdf_release() {
  uint32 major = 0, minor = 0, release = 0;
  char text[128] = "";  // at most 80 characters and the NUL
  Hgetlibversion(&major, &minor, &release, text);
  return text;
}

TEST(OutputBytes, EveryUnitsLogAndOutputAsBefore) {
  const std::vector<uint8_t> tlm = Input().build();
  const bool same_hdf = hdf_release() == kHdfRelease;
  for (const Expected &e : kExpected) {
    SCOPED_TRACE(e.inst);
    const Output o = from_file(tlm, e.inst);
    ASSERT_EQ(o.run.status, 0) << o.run.out.substr(o.run.out.size() - 500) << o.run.err;
    EXPECT_EQ(o.run.err, "");
    EXPECT_EQ(fnv1a(o.run.out), e.log) << std::hex << "log 0x" << fnv1a(o.run.out);
    const bool text = std::string(e.inst) == "acs";
    if (text || same_hdf) {
      EXPECT_EQ(fnv1a(o.output), e.output) << std::hex << "output 0x" << fnv1a(o.output);
    }
    const Output f = from_fifo(tlm, e.inst);
    EXPECT_EQ(f.run.status, 0);
    EXPECT_EQ(f.run.out, o.run.out);
    EXPECT_EQ(f.output, o.output);
  }
  if (!same_hdf) GTEST_SKIP() << "EDRs of " << hdf_release() << " not compared";
}

}  // namespace
