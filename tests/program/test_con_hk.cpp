// Concentrator housekeeping end to end: TLM packets of APID 25 through the real
// program into an EDR, read back independently with the HDF4 API, with
// pyhdf, with a C program through the module's operations, and in process
// through the module's own reading operations.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "con_hk_api.h"
#include "harness.h"
#include "hdf_fixture.h"
#include "mfhdf.h"
#include "tlm_builder.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define HDF4_OWN_LEAKS_BEGIN() __lsan_disable()
#define HDF4_OWN_LEAKS_END() __lsan_enable()
#else
#define HDF4_OWN_LEAKS_BEGIN()
#define HDF4_OWN_LEAKS_END()
#endif

using harness::echo;
using harness::format;
using harness::listing;
using harness::reports;

namespace {

using harness::kOffset;
constexpr int kDescSize = 4889;
constexpr int kTextLength = 4809;

const char *const kFieldNames[25] = {
    "sclk_seconds",      "sclk_subseconds", "APID_status",  "elec_req",     "accel_req",
    "rej_req",           "elec_level",      "accel_level",  "rej_level",    "elec_set",
    "accel_set",         "rej_set",         "MON_5V",       "MON_12V",      "elec_fault_count",
    "accel_fault_count", "rej_fault_count", "elec_maximum", "elec_minimum", "accel_maximum",
    "accel_minimum",     "rej_maximum",     "rej_minimum",  "SW_status",    "CMD_status"};

using Values = std::array<uint32_t, 25>;  // sclk_seconds, then the 24 uint16 fields

// Three records, with the edge values: sclk_seconds 256 from 00 00 01 00,
// sclk_subseconds 32768 from 80 00, 0xFFFF stored as 65535 whatever the
// field's documented range, and a distinct value in every other field.
std::vector<Values> sample_records() {
  std::vector<Values> recs(3);
  for (int r = 0; r < 3; ++r) {
    for (int k = 1; k < 25; ++k) recs[r][k] = static_cast<uint32_t>(1000 * r + 37 * k);
  }
  recs[0][0] = 256;
  recs[0][1] = 32768;
  recs[0][2] = 0x0102;   // APID_status, bytes 6-7
  recs[0][23] = 0x0304;  // SW_status, bytes 48-49
  recs[0][24] = 0x0506;  // CMD_status, bytes 50-51
  recs[1][0] = 4294967295u;
  recs[1][12] = 65535;  // MON_5V far beyond 0-4095
  recs[1][14] = 65535;
  recs[2][0] = 0x12345678;
  recs[2][24] = 0;
  return recs;
}

std::vector<uint8_t> encode(const Values &v) {
  std::vector<uint8_t> out;
  tlm::put_be32(out, v[0]);
  for (int k = 1; k < 25; ++k) tlm::put_be16(out, static_cast<uint16_t>(v[k]));
  return out;
}

Values values_of(const Concentrator_Housekeeping &r) {
  return {
      r.sclk_seconds,      r.sclk_subseconds, r.APID_status,  r.elec_req,     r.accel_req,
      r.rej_req,           r.elec_level,      r.accel_level,  r.rej_level,    r.elec_set,
      r.accel_set,         r.rej_set,         r.MON_5V,       r.MON_12V,      r.elec_fault_count,
      r.accel_fault_count, r.rej_fault_count, r.elec_maximum, r.elec_minimum, r.accel_maximum,
      r.accel_minimum,     r.rej_maximum,     r.rej_minimum,  r.SW_status,    r.CMD_status};
}

std::string line_of(const Values &v) {
  std::string s;
  for (int k = 0; k < 25; ++k) {
    if (k > 0) s += ' ';
    s += std::to_string(v[k]);
  }
  return s + "\n";
}

// The description: the opening line, then the header file byte for byte.
std::string expected_description() {
  return "The file 'con_hk.h' is shown below, it was used to create the data in the Vgroup "
         "named 'VG_Concentrator_Housekeeping'.\n\n\n" +
         harness::slurp(std::string(HLC_ETC_DIR) + "/con_hk.h");
}

tlm::Packet con_packet(uint16_t count, uint32_t seconds, std::vector<uint8_t> data) {
  tlm::Packet p;
  p.apid = 25;
  p.count = count;
  p.seconds = seconds;
  p.data = std::move(data);
  return p;
}

class ConHk : public ::testing::Test {
 protected:
  harness::TempDir dir;
  std::string tlm_path = dir / "con.tlm";
  std::string edr = dir / "con.hdf";
  std::vector<Values> recs = sample_records();

  // Two records in one packet, one in the next, then packets that are dropped
  // (bad sizes, filled) or passed over (another unit).
  harness::Run run_sample() {
    tlm::Builder b;
    std::vector<uint8_t> two = encode(recs[0]);
    std::vector<uint8_t> second = encode(recs[1]);
    two.insert(two.end(), second.begin(), second.end());
    b.add(con_packet(1, 1000, two));
    b.add(con_packet(2, 1001, encode(recs[2])));
    b.add(con_packet(3, 1002, tlm::ramp(100)));
    b.add(con_packet(4, 1003, {}));
    tlm::Packet filled = con_packet(5, 1004, encode(recs[0]));
    filled.fill = true;
    b.add(filled);
    tlm::Packet gem = con_packet(6, 1005, tlm::ramp(92));
    gem.apid = 32;
    b.add(gem);
    b.write(tlm_path);
    return harness::run_edr({"-inst", "con", "-tlm", tlm_path, "-edr", edr});
  }
};

TEST_F(ConHk, RunWritesEveryGoodRecordAndReportsEachStep) {
  harness::Run r = run_sample();
  const std::string wrote = "      wrote Concentrator h/k record\n";
  EXPECT_EQ(r.out, echo(3, 0, tlm_path, edr) +
                       listing(25, 3, 1, 104, 1000, 0, 1, 175, kOffset, 0, 115) + "opened " + edr +
                       ".tmp\n" + "   initialized Concentrator h/k\n" + wrote + wrote +
                       listing(25, 3, 2, 52, 1001, 0, 2, 123, kOffset, 0, 63) + wrote +
                       listing(25, 3, 3, 100, 1002, 0, 3, 171, kOffset, 0, 111) +
                       "WARNING: dropped CON HK @      1002:000 -- bad size 100\n" +
                       listing(25, 3, 4, 0, 1003, 0, 4, 71, kOffset, 0, 11) +
                       "WARNING: dropped CON HK @      1003:000 -- bad size 0\n" +
                       listing(25, 3, 5, 52, 1004, 0, 5, 123, kOffset, 1, 63) +
                       "WARNING: dropped filled APID 25 @      1004:000. Orig size: 63.\n" +
                       listing(32, 3, 6, 92, 1005, 0, 6, 163, kOffset, 0, 103) +
                       "Accumulated processed byte count: 826\n"
                       "Program run completed successfully.\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(harness::exists(edr));
  EXPECT_FALSE(harness::exists(edr + ".tmp"));
}

// The file's layout, read with the HDF4 API alone.
TEST_F(ConHk, FileLayoutReadWithTheHdf4Api) {
  ASSERT_EQ(run_sample().status, 0);
  int32 f = Hopen(edr.c_str(), DFACC_READ, 0);
  ASSERT_NE(f, -1);
  ASSERT_EQ(Vstart(f), 0);

  int32 lone[8];
  EXPECT_EQ(Vlone(f, lone, 8), 1);  // the product's Vgroup is the only top-level group
  int32 ref = Vfind(f, "VG_Concentrator_Housekeeping");
  ASSERT_GT(ref, 0);
  int32 vg = Vattach(f, ref, "r");
  char name[VGNAMELENMAX + 1] = "", cls[VGNAMELENMAX + 1] = "";
  Vgetname(vg, name);
  Vgetclass(vg, cls);
  EXPECT_STREQ(name, "VG_Concentrator_Housekeeping");
  EXPECT_STREQ(cls, "VG_CON_HK");
  ASSERT_EQ(Vntagrefs(vg), 1);
  int32 tag = 0, vs_ref = 0;
  Vgettagref(vg, 0, &tag, &vs_ref);
  EXPECT_EQ(tag, DFTAG_VH);

  int32 vs = VSattach(f, vs_ref, "r");
  ASSERT_NE(vs, -1);
  char vs_name[VSNAMELENMAX + 1] = "", vs_class[VSNAMELENMAX + 1] = "";
  VSgetname(vs, vs_name);
  VSgetclass(vs, vs_class);
  EXPECT_STREQ(vs_name, "Concentrator_Housekeeping");
  EXPECT_STREQ(vs_class, "tlm_edr_data");
  ASSERT_EQ(VFnfields(vs), 25);
  for (int i = 0; i < 25; ++i) {
    EXPECT_STREQ(VFfieldname(vs, i), kFieldNames[i]);
    EXPECT_EQ(VFfieldtype(vs, i), i == 0 ? DFNT_UINT32 : DFNT_UINT16) << kFieldNames[i];
    EXPECT_EQ(VFfieldorder(vs, i), 1);
  }
  ASSERT_EQ(VSelts(vs), 3);
  EXPECT_EQ(VSsizeof(vs, const_cast<char *>("sclk_seconds,CMD_status")), 6);
  ASSERT_EQ(VSsetfields(vs,
                        "sclk_seconds,sclk_subseconds,APID_status,elec_req,accel_req,"
                        "rej_req,elec_level,accel_level,rej_level,elec_set,accel_set,"
                        "rej_set,MON_5V,MON_12V,elec_fault_count,accel_fault_count,"
                        "rej_fault_count,elec_maximum,elec_minimum,accel_maximum,"
                        "accel_minimum,rej_maximum,rej_minimum,SW_status,CMD_status"),
            0);
  uint8 buf[52 * 3];
  ASSERT_EQ(VSread(vs, buf, 3, FULL_INTERLACE), 3);
  for (int r = 0; r < 3; ++r) {
    const uint8 *p = buf + 52 * r;
    Values got{};
    uint32 sclk;
    memcpy(&sclk, p, 4);
    got[0] = sclk;
    for (int k = 1; k < 25; ++k) {
      uint16 v;
      memcpy(&v, p + 4 + 2 * (k - 1), 2);
      got[k] = v;
    }
    EXPECT_EQ(got, recs[r]) << "record " << r;
  }
  VSdetach(vs);
  Vdetach(vg);

  // One data description of the whole 4889-byte buffer: text, then NULs.
  int32 an = ANstart(f);
  ASSERT_EQ(ANnumann(an, AN_DATA_DESC, DFTAG_VG, static_cast<uint16>(ref)), 1);
  int32 ann = -1;
  ASSERT_EQ(ANannlist(an, AN_DATA_DESC, DFTAG_VG, static_cast<uint16>(ref), &ann), 1);
  EXPECT_EQ(ANannlen(ann), kDescSize);
  std::vector<char> text(kDescSize + 16, 'x');
  ASSERT_EQ(ANreadann(ann, text.data(), kDescSize + 16), 0);
  std::string expected = expected_description();
  ASSERT_EQ(expected.size(), static_cast<size_t>(kTextLength));
  expected.resize(kDescSize, '\0');
  EXPECT_EQ(std::string(text.data(), kDescSize), expected);
  ANendaccess(ann);
  EXPECT_EQ(ANnumann(an, AN_DATA_LABEL, DFTAG_VG, static_cast<uint16>(ref)), 0);
  ANend(an);
  Vend(f);
  Hclose(f);
}

// The same file through the module's reading operations.
TEST_F(ConHk, ReadBackThroughTheModule) {
  ASSERT_EQ(run_sample().status, 0);
  int32 f = Hopen(edr.c_str(), DFACC_READ, 0);
  ASSERT_EQ(Vstart(f), 0);
  int32 sd = SDstart(edr.c_str(), DFACC_READ);
  ASSERT_EQ(init_rd_con_hk(f, sd, "r"), 3);
  Concentrator_Housekeeping r;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(read_con_hk(&r, -1), 0);
    EXPECT_EQ(values_of(r), recs[i]) << "record " << i;
  }
  EXPECT_EQ(read_con_hk(&r, -1), -1);  // past the end: nothing read
  ASSERT_EQ(read_con_hk(&r, 1), 0);    // back to record 1
  EXPECT_EQ(values_of(r), recs[1]);
  ASSERT_EQ(read_con_hk(&r, -1), 0);  // and on from there
  EXPECT_EQ(values_of(r), recs[2]);
  close_rd_con_hk();

  // The description as a reading program sees it.
  int32 an = ANstart(f);
  testing::internal::CaptureStdout();
  rd_Vgrp_desc_con_hk(f, an);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "1numann= 1 \n1ann_list= 1 \n2numann= 1 \n2ann_list= 1 \nAN: " +
                     expected_description() + "\n");
  SDend(sd);
  Vend(f);
  Hclose(f);
}

TEST_F(ConHk, IndependentReadersAgree) {
  ASSERT_EQ(run_sample().status, 0);
  std::string rows;
  for (const Values &v : recs) rows += line_of(v);

  harness::Run c = harness::run({HLC_C_READER, edr});
  EXPECT_EQ(c.out, "records 3\n" + rows + "past the end -1\n");
  EXPECT_EQ(c.status, 0);

  harness::Run py = harness::run({"/usr/bin/python3", HLC_PYTHON_READER, edr});
  std::string fields;
  for (int i = 0; i < 25; ++i) {
    fields += format("field %s type %d order 1\n", kFieldNames[i], i == 0 ? 25 : 23);
  }
  EXPECT_EQ(py.out,
            "vgroup VG_Concentrator_Housekeeping class VG_CON_HK entries 1\n"
            "vdata Concentrator_Housekeeping class tlm_edr_data records 3 size 52\n" +
                fields + rows);
  EXPECT_EQ(py.status, 0) << py.err;
}

// -apid hk keeps the same packets; a selected APID of another kind keeps none.
TEST_F(ConHk, SelectedApid) {
  tlm::Builder b;
  b.add(con_packet(1, 5, encode(recs[0])));
  b.write(tlm_path);
  harness::Run r = harness::run_edr({"-inst", "con", "-apid", "hk", "-tlm", tlm_path, "-edr", edr});
  EXPECT_EQ(r.out, echo(3, 25, tlm_path, edr) +
                       listing(25, 3, 1, 52, 5, 0, 1, 123, kOffset, 0, 63) + "opened " + edr +
                       ".tmp\n   initialized Concentrator h/k\n"
                       "      wrote Concentrator h/k record\n"
                       "Accumulated processed byte count: 123\n"
                       "Program run completed successfully.\n");
  EXPECT_EQ(r.status, 0);
}

// ---- failures inside the module, made by real HDF4 failures ---------------

using ConHkModule = HdfFileTest;

TEST_F(ConHkModule, TableMissingOrEmpty) {
  open(DFACC_CREATE);
  finish();
  open(DFACC_READ);
  testing::internal::CaptureStderr();
  EXPECT_EQ(init_rd_con_hk(f, sd, "r"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "\nERROR in  con_hk.cpp -> init_acc_con_hk -> VSfind: Found no vdata of specified "
            "type.\n");
  finish();

  // A table created but never written: 0 records, silently.
  open(DFACC_CREATE);
  ASSERT_EQ(init_wr_con_hk(f, sd, an, "tlm_edr_data"), 0);
  close_wr_con_hk();
  finish();
  open(DFACC_READ);
  testing::internal::CaptureStderr();
  EXPECT_EQ(init_rd_con_hk(f, sd, "r"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  close_rd_con_hk();
  finish();
}

// Every step runs after a failed one; the Vgroup that was never created is
// not found either (Vfind gives 0, which is no failure of its own), so the
// annotation fails on its reference.
TEST_F(ConHkModule, CreatingInAReadOnlyFileReportsEachFailedStep) {
  // After failures in a read-only file HDF4 cannot release all it holds.
  HDF4_OWN_LEAKS_BEGIN();
  open(DFACC_CREATE);
  finish();
  open(DFACC_READ);
  testing::internal::CaptureStderr();
  EXPECT_EQ(init_wr_con_hk(f, sd, an, "tlm_edr_data"), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(reports(err),
            (std::vector<std::string>{
                "ERROR in  con_hk.cpp -> init_cr_con_hk -> Vattach: Couldn't create Vgroup",
                "ERROR in  con_hk.cpp -> init_cr_con_hk -> ANcreate: Can't create Vgrp description",
                "ERROR in  con_hk.cpp -> init_cr_con_hk -> ANwriteann: Can't write Vgrp "
                "description",
                "ERROR in  con_hk.cpp -> init_cr_con_hk -> Vinsert: Couldn't insert Vdata into "
                "Vgroup"}))
      << err;
  // Each report is followed by the HDF4 error stack.
  EXPECT_NE(err.find("HDF error: (6) <Bad file access mode>\n\tDetected in Vattach()"),
            std::string::npos)
      << err;
  testing::internal::CaptureStderr();
  close_wr_con_hk();  // releases what the failed creation attached
  testing::internal::GetCapturedStderr();
  finish();
  HDF4_OWN_LEAKS_END();
}

TEST_F(ConHkModule, WriteFailuresReturnMinusOne) {
  open(DFACC_CREATE);
  ASSERT_EQ(init_wr_con_hk(f, sd, an, "tlm_edr_data"), 0);
  Concentrator_Housekeeping r;
  memset(&r, 0, sizeof r);
  ASSERT_EQ(write_con_hk(r, -1), 0);
  // A position below -1 is no record's: nothing is written there.
  testing::internal::CaptureStderr();
  EXPECT_EQ(write_con_hk(r, -7), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(reports(err), std::vector<std::string>{"ERROR in  con_hk.cpp -> write_con_hk -> "
                                                   "position check: -7 is below -1."})
      << err;
  close_wr_con_hk();
  // After the table is closed nothing can be written to it.
  testing::internal::CaptureStderr();
  EXPECT_EQ(write_con_hk(r, -1), -1);
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(
      reports(err),
      std::vector<std::string>{"ERROR in  con_hk.cpp -> write_con_hk -> VSwrite: Couldn't write "
                               "data."})
      << err;
  finish();
}

TEST(ConHkDescription, BuiltTextIsTheOpeningLineAndTheHeader) {
  std::vector<char> buf(kDescSize, '\0');
  EXPECT_EQ(wr_Vgrp_desc_con_hk(buf.data()), 0);
  EXPECT_EQ(std::string(buf.data()), expected_description());
  EXPECT_EQ(strlen(buf.data()), static_cast<size_t>(kTextLength));
  EXPECT_EQ(sizeof Vgrp_descrp_Concentrator_Housekeeping, static_cast<size_t>(kDescSize));
}

TEST(ConHkPacking, PackedRecordHasTheFieldsBackToBack) {
  Concentrator_Housekeeping r, back;
  memset(&r, 0, sizeof r);
  memset(&back, 0, sizeof back);
  r.sclk_seconds = 0x01020304;
  r.sclk_subseconds = 0x0506;
  r.CMD_status = 0x0708;
  uint8_t packed[52];
  memset(packed, 0xAA, sizeof packed);
  pack_con_hk(packed, &r);
  uint32_t sclk;
  uint16_t sub, cmd;
  memcpy(&sclk, packed, 4);
  memcpy(&sub, packed + 4, 2);
  memcpy(&cmd, packed + 50, 2);
  EXPECT_EQ(sclk, 0x01020304u);
  EXPECT_EQ(sub, 0x0506);
  EXPECT_EQ(cmd, 0x0708);
  unpack_con_hk(packed, &back);
  EXPECT_EQ(values_of(back), values_of(r));
}

}  // namespace
