// The telemetry reader, seen through the real program's whole standard output:
// listing lines, filled packets, the byte total, fatal framing errors, and
// records whose framing cannot be trusted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "harness.h"
#include "tlm_builder.h"

using harness::echo;
using harness::format;
using harness::listing;

namespace {

using harness::kOffset;
using harness::kOverhead;
using harness::packet;

const char kNotCreated[] = "ERROR: Output EDR or text file was not created.\n";

class Reader : public ::testing::Test {
 protected:
  harness::TempDir dir;
  std::string tlm_path = dir / "in.tlm";
  std::string edr = dir / "out.hdf";

  // Runs "-inst mec" (whose APIDs none of these files use, so nothing is
  // created) on the builder's file.
  harness::Run run(const tlm::Builder &b, const std::string &inst = "mec") {
    b.write(tlm_path);
    return harness::run_edr({"-inst", inst, "-tlm", tlm_path, "-edr", edr});
  }
  std::string head(int inst = 4) { return echo(inst, 0, tlm_path, edr); }
};

TEST_F(Reader, EmptyFileEndsWithAZeroByteCount) {
  harness::Run r = run(tlm::Builder{});
  EXPECT_EQ(r.out, head() + "Accumulated processed byte count: 0\n" + kNotCreated);
  EXPECT_EQ(r.status, 255);
  EXPECT_FALSE(harness::exists(edr));
  EXPECT_FALSE(harness::exists(edr + ".tmp"));
}

TEST_F(Reader, ListsEveryRecordAndCountsItsBytes) {
  tlm::Builder b;
  b.add(packet(31, 1, 16383, 100, 5, 10));
  b.add(packet(42, 0, 0, 101, 255, 0));
  b.add(packet(2047, 2, 77, 4294967295u, 0, 300));  // APID and time at their widest
  tlm::Framing other;
  other.authority = "CCSD";  // only the first record's label is checked
  other.l1 = 0;
  other.l2 = 20;
  other.l3 = 6;
  b.add(packet(25, 3, 1, 2147483648u, 128, 4), other);
  harness::Run r = run(b);
  const int other_offset = 28 + 4 + 0 + 4 + 20 + 4 + 6;
  const int other_size = other_offset + 11 + 4;
  EXPECT_EQ(r.out,
            head() + listing(31, 1, 16383, 10, 100, 5, 1, 81, kOffset, 0, 21) +
                listing(42, 0, 0, 0, 101, 255, 2, 71, kOffset, 0, 11) +
                listing(2047, 2, 77, 300, 4294967295u, 0, 3, 371, kOffset, 0, 311) +
                listing(25, 3, 1, 4, 2147483648u, 128, 4, other_size, other_offset, 0, 15) +
                format("Accumulated processed byte count: %d\n", 81 + 71 + 371 + other_size) +
                kNotCreated);
  // Times at and above 2^31 print as unsigned seconds.
  EXPECT_NE(r.out.find("4294967295:000"), std::string::npos);
  EXPECT_NE(r.out.find("2147483648:128"), std::string::npos);
}

TEST_F(Reader, FilledPacketIsListedWarnedAndCounted) {
  tlm::Builder b;
  tlm::Packet filled = packet(25, 3, 9, 200, 17, 52);
  filled.fill = true;
  filled.prefill_size = 200;
  b.add(filled);
  b.add(packet(25, 3, 10, 201, 0, 52));
  harness::Run r = run(b, "con");
  const std::string out = r.out;
  EXPECT_EQ(out.substr(0, out.find("opened")),
            echo(3, 0, tlm_path, edr) + listing(25, 3, 9, 52, 200, 17, 1, 123, kOffset, 1, 200) +
                "WARNING: dropped filled APID 25 @       200:017. Orig size: 200.\n" +
                listing(25, 3, 10, 52, 201, 0, 2, 123, kOffset, 0, 63));
  EXPECT_NE(out.find("Accumulated processed byte count: 246\n"), std::string::npos);
  EXPECT_EQ(r.status, 0);
}

TEST_F(Reader, OnlyTheFirstLabelMustBeKwrz) {
  tlm::Builder b;
  tlm::Framing bad;
  bad.authority = "KWRX";
  b.add(packet(25, 3, 0, 1, 0, 52), bad);
  harness::Run r = run(b);
  EXPECT_EQ(r.out, head() + "ERROR: File starts with invalid sfdu.\n");
  EXPECT_EQ(r.status, 255);
}

TEST_F(Reader, FileEndingInsideALabelNamesThatRecord) {
  tlm::Builder b;
  b.add(packet(31, 3, 0, 1, 0, 4));
  b.add(packet(31, 3, 1, 2, 0, 4));
  b.raw(std::vector<uint8_t>{'K', 'W', 'R', 'Z', 0, 0, 0, 0, 0, 0});  // 10 bytes of a label
  harness::Run r = run(b);
  EXPECT_EQ(r.out, head() + listing(31, 3, 0, 4, 1, 0, 1, 75, kOffset, 0, 15) +
                       listing(31, 3, 1, 4, 2, 0, 2, 75, kOffset, 0, 15) +
                       "ERROR: Bad SFDU Header, Rec # 3\n");
  EXPECT_EQ(r.status, 255);
}

TEST_F(Reader, ShortBodyIsFatal) {
  tlm::Builder b;
  b.add(packet(31, 3, 0, 1, 0, 4));
  tlm::Framing cut;
  cut.truncate = 50;  // the label says 20 + 80 bytes
  b.add(packet(31, 3, 1, 2, 0, 20), cut);
  harness::Run r = run(b);
  EXPECT_EQ(r.out, head() + listing(31, 3, 0, 4, 1, 0, 1, 75, kOffset, 0, 15) +
                       "ERROR: Bad SFDU Length 71, Rec # 2\n");
  EXPECT_EQ(r.status, 255);
}

TEST_F(Reader, ReadErrorIsFatalNotEndOfFile) {
  // A directory opens read-only but every read of it fails.
  const std::string d = dir / "a_directory";
  ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
  harness::Run r = harness::run_edr({"-inst", "con", "-tlm", d, "-edr", edr});
  EXPECT_EQ(r.out, echo(3, 0, d, edr) + "ERROR: Read error at Rec # 1: Is a directory\n");
  EXPECT_EQ(r.status, 255);
}

TEST_F(Reader, MissingFileCannotBeOpened) {
  harness::Run r = harness::run_edr({"-inst", "con", "-tlm", dir / "none.tlm", "-edr", edr});
  EXPECT_EQ(r.out, echo(3, 0, dir / "none.tlm", edr) + "ERROR: Failed to open TLM file.\n");
  EXPECT_EQ(r.status, 255);
}

// A record of exactly 32768 bytes, label included, is read whole: its 628
// Concentrator records all reach the EDR.
TEST_F(Reader, RecordOfExactlyTheBufferSize) {
  tlm::Builder b;
  tlm::Framing pad;
  pad.extra = std::vector<uint8_t>(32768 - kOverhead - 52 * 628, 0xEE);
  b.add(packet(25, 3, 0, 7, 0, 52 * 628), pad);
  harness::Run r = run(b, "con");
  std::string expected = echo(3, 0, tlm_path, edr) +
                         listing(25, 3, 0, 52 * 628, 7, 0, 1, 32768, kOffset, 0, 11 + 52 * 628) +
                         "opened " + edr + ".tmp\n   initialized Concentrator h/k\n";
  for (int i = 0; i < 628; ++i) expected += "      wrote Concentrator h/k record\n";
  expected += "Accumulated processed byte count: 32768\nProgram run completed successfully.\n";
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.status, 0);
}

// Records whose framing points outside themselves are dropped one by one; the
// SFDU length still gives the start of the next record, which is read.
TEST_F(Reader, UntrustworthyRecordsAreDroppedAndReadingGoesOn) {
  tlm::Builder b;
  b.add(packet(25, 3, 0, 1, 0, 52));

  tlm::Framing huge;  // one byte more than the buffer
  huge.extra = std::vector<uint8_t>(32769 - kOverhead - 52, 0);
  b.add(packet(25, 3, 1, 2, 0, 52), huge);

  tlm::Framing chain;  // block 1 claims 200 bytes of a 30-byte body
  chain.l1 = 200;
  chain.body_length = 30;
  chain.truncate = 50;
  b.add(packet(25, 3, 2, 3, 0, 52), chain);

  tlm::Framing tiny;  // a body of 2 bytes has no header blocks at all
  tiny.body_length = 2;
  tiny.truncate = 22;
  b.add(packet(25, 3, 3, 4, 0, 52), tiny);

  tlm::Framing far;  // the aggregation length puts the packet past the end
  far.aggregation_length = 60000;
  b.add(packet(25, 3, 4, 5, 0, 52), far);

  tlm::Packet below = packet(25, 3, 5, 6, 1, 52);  // length field below 4
  below.length_field = 3;
  b.add(below);
  tlm::Packet beyond = packet(25, 3, 6, 7, 2, 52);  // user data past the record
  beyond.length_field = 57;
  b.add(beyond);
  tlm::Packet zero = packet(25, 3, 7, 8, 3, 52);  // a length field of 0
  zero.length_field = 0;
  b.add(zero);

  b.add(packet(25, 3, 8, 9, 0, 52));
  harness::Run r = run(b, "con");
  const std::string opened = "opened " + edr + ".tmp\n   initialized Concentrator h/k\n";
  const std::string wrote = "      wrote Concentrator h/k record\n";
  EXPECT_EQ(
      r.out,
      echo(3, 0, tlm_path, edr) + listing(25, 3, 0, 52, 1, 0, 1, 123, kOffset, 0, 63) + opened +
          wrote + "WARNING: dropped Rec # 2 -- record size 32769 over 32768 bytes\n" +
          "WARNING: dropped Rec # 3 -- header blocks beyond the record\n" +
          "WARNING: dropped Rec # 4 -- header blocks beyond the record\n" +
          "WARNING: dropped Rec # 5 -- packet header beyond the record\n" +
          listing(25, 3, 5, -1, 6, 1, 6, 123, kOffset, 0, 63) +
          "WARNING: dropped APID 25 @         6:001 -- packet length 3 does not fit Rec # 6\n" +
          listing(25, 3, 6, 53, 7, 2, 7, 123, kOffset, 0, 63) +
          "WARNING: dropped APID 25 @         7:002 -- packet length 57 does not fit Rec # 7\n" +
          listing(25, 3, 7, -4, 8, 3, 8, 123, kOffset, 0, 63) +
          "WARNING: dropped APID 25 @         8:003 -- packet length 0 does not fit Rec # 8\n" +
          listing(25, 3, 8, 52, 9, 0, 9, 123, kOffset, 0, 63) + wrote +
          format("Accumulated processed byte count: %d\n", 123 + 32769 + 50 + 22 + 123 * 5) +
          "Program run completed successfully.\n");
  EXPECT_EQ(r.status, 0);
}

// Each record framed as the one before it but for one value: where the
// packet or a header block lies, the fill flag, the size before fill, the
// APID, the flags, the length field. Every line is that record's own, and a
// record framed as the last one (also one that is dropped) is read alike.
TEST_F(Reader, RecordsFramedAlmostAlikeAreEachListedAsTheirOwn) {
  tlm::Builder b;
  std::string expected = head();
  int number = 0;
  long bytes = 0;
  // Adds the packet and its expected line, its packet at `offset`.
  auto add = [&](const tlm::Packet &p, const tlm::Framing &f, int offset) {
    b.add(p, f);
    const int record = static_cast<int>(tlm::record(p, f).size());
    const int length = p.length_field ? *p.length_field : static_cast<int>(p.data.size()) + 4;
    const int prefill = p.prefill_size ? *p.prefill_size : 11 + static_cast<int>(p.data.size());
    expected += listing(p.apid & 0x7FF, p.flags, p.count, length - 4, p.seconds, p.subseconds,
                        ++number, record, offset, p.fill ? 1 : 0, prefill);
    bytes += record;
  };
  const tlm::Framing plain;
  tlm::Framing block2_moved;  // the same record but for where block 2 starts
  block2_moved.l1 = 4;
  block2_moved.l2 = 8;
  tlm::Framing block3_moved;  // block 3 and its fill flag and size 2 bytes on
  block3_moved.l2 = 6;
  block3_moved.l3 = 6;
  tlm::Framing packet_moved;  // the packet 4 bytes on, the record as long
  packet_moved.l3 = 12;

  add(packet(25, 3, 8, 999, 255, 52), plain, kOffset);
  add(packet(25, 3, 9, 1000, 0, 52), plain, kOffset);  // new widths in their places
  add(packet(25, 3, 10, 1001, 0, 52), block2_moved, kOffset);
  add(packet(25, 3, 11, 1002, 0, 52), plain, kOffset);
  tlm::Packet moved_fill = packet(25, 3, 12, 1002, 0, 52);
  moved_fill.prefill_size = 99;
  add(moved_fill, block3_moved, kOffset);
  add(packet(25, 3, 13, 1003, 0, 48), packet_moved, kOffset + 4);
  tlm::Packet filled = packet(25, 3, 14, 1004, 0, 52);
  filled.fill = true;
  add(filled, plain, kOffset);
  expected += "WARNING: dropped filled APID 25 @      1004:000. Orig size: 63.\n";
  add(packet(25, 3, 15, 1005, 0, 52), plain, kOffset);
  tlm::Packet prefilled = packet(25, 3, 16, 1006, 0, 52);
  prefilled.prefill_size = 64;
  add(prefilled, plain, kOffset);
  add(packet(23, 3, 17, 1007, 0, 52), plain, kOffset);
  add(packet(25, 3, 18, 1008, 0, 52), plain, kOffset);
  add(packet(25, 1, 19, 1009, 0, 52), plain, kOffset);
  for (int k = 0; k < 2; ++k) {  // framed alike, both dropped
    tlm::Packet short_length = packet(25, 3, static_cast<uint16_t>(20 + k), 1010, 0, 52);
    short_length.length_field = 3;
    add(short_length, plain, kOffset);
    expected += format(
        "WARNING: dropped APID 25 @      1010:000 -- packet length 3 does not fit Rec # %d\n",
        number);
  }
  add(packet(25, 3, 16383, 1011, 0, 52), plain, kOffset);
  add(packet(25, 3, 0, 1012, 0, 52), plain, kOffset);  // the counter wraps
  harness::Run r = run(b);
  EXPECT_EQ(r.out,
            expected + format("Accumulated processed byte count: %ld\n", bytes) + kNotCreated);
  EXPECT_EQ(r.status, 255);
}

// A body longer than what remains of the file, on a record too large for the
// buffer, is still the short-body error.
TEST_F(Reader, OversizeRecordCutShortIsFatal) {
  tlm::Builder b;
  tlm::Framing huge;
  huge.extra = std::vector<uint8_t>(40000, 0);
  huge.truncate = 35000;
  b.add(packet(25, 3, 1, 2, 0, 52), huge);
  harness::Run r = run(b);
  EXPECT_EQ(r.out, head() + format("ERROR: Bad SFDU Length %d, Rec # 1\n", 40000 + 52 + 51));
  EXPECT_EQ(r.status, 255);
}

// Records of every size from 0 to 4000 bytes of user data, laid across the
// reader's blocks (half a megabyte) at many alignments, and a part of them
// through a pipe that delivers a few bytes at a time: the same listing,
// byte total and end.
TEST_F(Reader, RecordsAcrossBlocksAndThroughASlowPipe) {
  harness::Script big(dir, "blocks", 4);
  for (int i = 0; i < 6000; ++i) {
    big.add(31, 3, static_cast<uint16_t>(i), static_cast<uint32_t>(i), 0, (i * 997) % 4001);
  }
  EXPECT_GT(big.bytes().size(), 10u << 20);
  harness::Run r = big.run();
  EXPECT_EQ(r.out, big.expected(kNotCreated));
  EXPECT_EQ(r.status, 255);

  harness::Script s(dir, "slow", 4);
  for (int i = 0; i < 400; ++i) {
    s.add(31, 3, static_cast<uint16_t>(i), static_cast<uint32_t>(i), 0, (i * 997) % 4001);
  }
  const std::string expected = s.expected(kNotCreated);
  EXPECT_EQ(s.run().out, expected);

  const std::string fifo = dir / "fifo.tlm";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string bytes = harness::slurp(s.tlm());
  std::thread writer([&] {
    int fd = open(fifo.c_str(), O_WRONLY);
    for (size_t at = 0; at < bytes.size(); at += 7) {
      if (write(fd, bytes.data() + at, std::min<size_t>(7, bytes.size() - at)) < 0) break;
      if (at % 7000 == 0) usleep(1000);
    }
    close(fd);
  });
  r = harness::run_edr({"-inst", "mec", "-tlm", fifo, "-edr", s.edr});
  writer.join();
  std::string through_pipe = expected;
  through_pipe.replace(through_pipe.find(s.tlm()), s.tlm().size(), fifo);
  EXPECT_EQ(r.out, through_pipe);
  EXPECT_EQ(r.status, 255);
}

}  // namespace
