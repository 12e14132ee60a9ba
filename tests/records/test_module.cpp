// The record-module template with SDS, on the test module "sds_probe": slab
// positions, read positioning, the description of one Vgroup among several,
// and the SDS failure reports; and, through the C operations of a module
// without SDS (con_hk) and one with three (gem_raw), how record positions
// and opening twice are refused.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>

#include "con_hk_api.h"
#include "gem_raw_api.h"
#include "harness.h"
#include "hdf_fixture.h"
#include "mfhdf.h"
#include "sds_probe.h"

using harness::reports;

namespace {

SDS_Probe probe(uint32 n) {
  SDS_Probe r;
  memset(&r, 0, sizeof r);
  r.sclk_seconds = n;
  r.sclk_subseconds = static_cast<uint16>(n * 3);
  r.mode = static_cast<uint8>(n + 1);
  r.level[0] = static_cast<float32>(n) + 0.25f;
  r.level[1] = -1.5f;
  r.level[2] = 1e30f;
  for (int a = 0; a < 24; ++a) {
    for (int s = 0; s < 5; ++s) {
      r.ESA_set[a][s] = static_cast<uint16>(n * 1000 + a * 5 + s);
      r.ESA_level[a][s] = static_cast<uint16>(n + a + s);
      for (int c = 0; c < 7; ++c) r.counts[a][s][c] = static_cast<uint16>(n * 7 + a + s + c);
    }
  }
  return r;
}

bool same(const SDS_Probe &a, const SDS_Probe &b) {
  return memcmp(&a, &b, sizeof a) == 0;
}

class Template : public HdfFileTest {
 protected:
  // Writes records 0..n-1 with position -1.
  void write_file(int n) {
    open(DFACC_CREATE);
    ASSERT_EQ(init_wr_sds_probe(f, sd, an, "tlm_edr_data"), 0);
    for (int i = 0; i < n; ++i) ASSERT_EQ(write_sds_probe(probe(i), -1), 0);
    close_wr_sds_probe();
    finish();
  }
  // Slab `index` of SDS `name`, read with the SD API alone.
  std::vector<uint16> slab(const char *name, int index, int values) {
    int32 s = SDselect(sd, SDnametoindex(sd, name));
    char n[64];
    int32 rank, dims[4], type, nattr;
    SDgetinfo(s, n, &rank, dims, &type, &nattr);
    int32 start[4] = {index, 0, 0, 0}, edges[4] = {1, dims[1], dims[2], rank > 3 ? dims[3] : 0};
    std::vector<uint16> out(values);
    EXPECT_EQ(SDreaddata(s, start, nullptr, edges, out.data()), 0);
    SDendaccess(s);
    return out;
  }
};

TEST_F(Template, SdsAreCreatedUnlimitedInsideTheVgroup) {
  write_file(3);
  open(DFACC_READ);
  const char *names[] = {"SDS_Probe_ESA_set", "SDS_Probe_ESA_level", "SDS_Probe_counts"};
  const int32 expect_dims[3][4] = {{3, 24, 5, 0}, {3, 24, 5, 0}, {3, 24, 5, 7}};
  for (int k = 0; k < 3; ++k) {
    int32 s = SDselect(sd, SDnametoindex(sd, names[k]));
    ASSERT_NE(s, -1) << names[k];
    char n[64];
    int32 rank, dims[4] = {0, 0, 0, 0}, type, nattr;
    SDgetinfo(s, n, &rank, dims, &type, &nattr);
    EXPECT_EQ(rank, k == 2 ? 4 : 3);
    EXPECT_EQ(type, DFNT_UINT16);
    EXPECT_EQ(nattr, 0);
    EXPECT_TRUE(SDisrecord(s));
    for (int d = 0; d < rank; ++d) EXPECT_EQ(dims[d], expect_dims[k][d]) << names[k] << d;
    SDendaccess(s);
  }
  // The Vgroup holds the Vdata and the three SDS (as numeric data groups).
  int32 vg = Vattach(f, Vfind(f, "VG_SDS_Probe"), "r");
  char cls[VGNAMELENMAX + 1];
  Vgetclass(vg, cls);
  EXPECT_STREQ(cls, "VG_SDS_PROBE");
  ASSERT_EQ(Vntagrefs(vg), 4);
  EXPECT_EQ(Vnrefs(vg, DFTAG_VH), 1);
  EXPECT_EQ(Vnrefs(vg, DFTAG_NDG), 3);
  Vdetach(vg);
  // The Vdata packs its fields without gaps: 4 + 2 + 1 + 3 x 4 bytes.
  int32 vs = VSattach(f, VSfind(f, "SDS_Probe"), "r");
  EXPECT_EQ(VSsizeof(vs, const_cast<char *>("sclk_seconds,sclk_subseconds,mode,level")), 19);
  EXPECT_EQ(VFfieldtype(vs, 3), DFNT_FLOAT32);
  EXPECT_EQ(VFfieldorder(vs, 3), 3);
  VSdetach(vs);
  finish();
}

TEST_F(Template, ThirdRecordGoesToRecordAndSlabTwo) {
  write_file(3);
  open(DFACC_READ);
  SDS_Probe expected = probe(2);
  std::vector<uint16> counts = slab("SDS_Probe_counts", 2, 24 * 5 * 7);
  EXPECT_EQ(memcmp(counts.data(), expected.counts, sizeof expected.counts), 0);
  std::vector<uint16> set = slab("SDS_Probe_ESA_set", 2, 24 * 5);
  EXPECT_EQ(memcmp(set.data(), expected.ESA_set, sizeof expected.ESA_set), 0);
  int32 vs = VSattach(f, VSfind(f, "SDS_Probe"), "r");
  VSsetfields(vs, "sclk_seconds,sclk_subseconds,mode,level");
  VSseek(vs, 2);
  uint8 buf[19];
  ASSERT_EQ(VSread(vs, buf, 1, FULL_INTERLACE), 1);
  uint32 sclk;
  float32 level0;
  memcpy(&sclk, buf, 4);
  memcpy(&level0, buf + 7, 4);
  EXPECT_EQ(sclk, 2u);
  EXPECT_EQ(buf[6], 3);
  EXPECT_EQ(level0, 2.25f);
  VSdetach(vs);
  finish();
}

TEST_F(Template, PositionedWriteMovesVdataAndSlabsTogether) {
  open(DFACC_CREATE);
  ASSERT_EQ(init_wr_sds_probe(f, sd, an, "tlm_edr_data"), 0);
  for (int i = 0; i < 10; ++i) ASSERT_EQ(write_sds_probe(probe(i), -1), 0);
  ASSERT_EQ(write_sds_probe(probe(55), 5), 0);   // replaces record 5
  ASSERT_EQ(write_sds_probe(probe(66), -1), 0);  // and the next goes to 6
  close_wr_sds_probe();
  finish();

  open(DFACC_READ);
  ASSERT_EQ(init_rd_sds_probe(f, sd, "r"), 10);
  const uint32 expected[10] = {0, 1, 2, 3, 4, 55, 66, 7, 8, 9};
  for (int i = 0; i < 10; ++i) {
    SDS_Probe r;
    memset(&r, 0, sizeof r);
    ASSERT_EQ(read_sds_probe(&r, i), 0);
    EXPECT_TRUE(same(r, probe(expected[i]))) << "record " << i;
  }
  close_rd_sds_probe();
  finish();
}

TEST_F(Template, ReadPositioning) {
  write_file(10);
  open(DFACC_READ);
  ASSERT_EQ(init_rd_sds_probe(f, sd, "r"), 10);
  SDS_Probe r;
  ASSERT_EQ(read_sds_probe(&r, 0), 0);
  EXPECT_TRUE(same(r, probe(0)));
  for (int i = 1; i < 3; ++i) {
    ASSERT_EQ(read_sds_probe(&r, -1), 0);
    EXPECT_TRUE(same(r, probe(i))) << i;
  }
  ASSERT_EQ(read_sds_probe(&r, 7), 0);
  EXPECT_TRUE(same(r, probe(7)));
  ASSERT_EQ(read_sds_probe(&r, 8), 0);
  EXPECT_TRUE(same(r, probe(8)));
  ASSERT_EQ(read_sds_probe(&r, -1), 0);
  EXPECT_TRUE(same(r, probe(9)));
  // At or past the end nothing is read and the position stays.
  SDS_Probe untouched = probe(77);
  EXPECT_EQ(read_sds_probe(&untouched, -1), -1);
  EXPECT_EQ(read_sds_probe(&untouched, 10), -1);
  EXPECT_TRUE(same(untouched, probe(77)));
  ASSERT_EQ(read_sds_probe(&r, 4), 0);
  EXPECT_TRUE(same(r, probe(4)));
  close_rd_sds_probe();

  // Opening the table again keeps the read position: the next -1 read gives
  // record 5, not the table's first record.
  ASSERT_EQ(init_rd_sds_probe(f, sd, "r"), 10);
  ASSERT_EQ(read_sds_probe(&r, -1), 0);
  EXPECT_TRUE(same(r, probe(5)));
  ASSERT_EQ(read_sds_probe(&r, -1), 0);
  EXPECT_TRUE(same(r, probe(6)));
  close_rd_sds_probe();
  finish();
}

TEST_F(Template, PackAndUnpackAreInverse) {
  SDS_Probe r = probe(9), back;
  memset(&back, 0, sizeof back);
  uint8 packed[19];
  pack_sds_probe(packed, &r);
  float32 level2;
  memcpy(&level2, packed + 15, 4);
  EXPECT_EQ(level2, 1e30f);
  unpack_sds_probe(packed, &back);
  EXPECT_EQ(back.sclk_seconds, r.sclk_seconds);
  EXPECT_EQ(back.mode, r.mode);
  EXPECT_EQ(memcmp(back.level, r.level, sizeof r.level), 0);
}

// Each module reads its own Vgroup's description, whatever other products'
// descriptions the file holds.
TEST_F(Template, DescriptionsOfTwoProductsInOneFile) {
  open(DFACC_CREATE);
  ASSERT_EQ(init_wr_sds_probe(f, sd, an, "tlm_edr_data"), 0);
  ASSERT_EQ(init_wr_con_hk(f, sd, an, "tlm_edr_data"), 0);
  ASSERT_EQ(write_sds_probe(probe(1), -1), 0);
  close_wr_con_hk();
  close_wr_sds_probe();
  finish();

  std::vector<char> probe_text(SDS_PROBE_DESC_SIZE), con_text(CON_HK_DESC_SIZE);
  wr_Vgrp_desc_sds_probe(probe_text.data());
  wr_Vgrp_desc_con_hk(con_text.data());

  open(DFACC_READ);
  testing::internal::CaptureStdout();
  rd_Vgrp_desc_sds_probe(f, an);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "1numann= 1 \n1ann_list= 1 \n2numann= 1 \n2ann_list= 1 \nAN: " +
                std::string(probe_text.data()) + "\n");
  an = ANstart(f);  // the read ended the annotation interface it was given
  testing::internal::CaptureStdout();
  rd_Vgrp_desc_con_hk(f, an);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "1numann= 1 \n1ann_list= 1 \n2numann= 1 \n2ann_list= 1 \nAN: " +
                std::string(con_text.data()) + "\n");
  an = ANstart(f);
  finish();
  EXPECT_EQ(
      std::string(probe_text.data())
          .rfind("The file 'sds_probe.h' is shown below, it was used to create the data in the "
                 "Vgroup named 'VG_SDS_Probe'.\n\n\n/*\n",
                 0),
      0u);
}

// A Vgroup of the product's name that carries no description: the list is
// asked for all the same (and is empty), and only the selection and the
// read of the missing description are reported.
TEST_F(Template, DescriptionOfAVgroupWithoutOne) {
  open(DFACC_CREATE);
  int32 vg = Vattach(f, -1, "w");
  Vsetname(vg, "VG_Concentrator_Housekeeping");
  Vsetclass(vg, "VG_CON_HK");
  Vdetach(vg);
  finish();

  open(DFACC_READ);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  rd_Vgrp_desc_con_hk(f, an);
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "1numann= 0 \n1ann_list= 1 \n2numann= 0 \n2ann_list= 1 \nAN: \n");
  EXPECT_EQ(reports(err), (std::vector<std::string>{
                              "ERROR in  con_hk.cpp -> rd_Vgrp_con_hk -> ANselect: Couldn't",
                              "ERROR in  con_hk.cpp -> rd_Vgrp_con_hk -> ANreadann: Couldn't"}))
      << err;
  an = ANstart(f);
  finish();
}

// A table or SDS of the product's name but not of the record's layout (a
// damaged or foreign file) is refused when it is opened for reading: a read
// would overrun the record's buffers.
TEST_F(Template, TablesOfAnotherLayoutAreRefused) {
  const char *const names[25] = {
      "sclk_seconds",      "sclk_subseconds", "APID_status",  "elec_req",     "accel_req",
      "rej_req",           "elec_level",      "accel_level",  "rej_level",    "elec_set",
      "accel_set",         "rej_set",         "MON_5V",       "MON_12V",      "elec_fault_count",
      "accel_fault_count", "rej_fault_count", "elec_maximum", "elec_minimum", "accel_maximum",
      "accel_minimum",     "rej_maximum",     "rej_minimum",  "SW_status",    "CMD_status"};
  open(DFACC_CREATE);
  int32 vs = VSattach(f, -1, "w");
  VSsetname(vs, "Concentrator_Housekeeping");
  std::string list;
  for (int i = 0; i < 25; ++i) {
    VSfdefine(vs, names[i], i == 0 ? DFNT_UINT32 : DFNT_UINT16, i == 0 ? 300 : 1);
    if (i > 0) list += ',';
    list += names[i];
  }
  VSsetfields(vs, list.c_str());
  std::vector<uint8> big(1200 + 48, 0x5A);
  VSwrite(vs, big.data(), 1, FULL_INTERLACE);
  VSdetach(vs);
  int32 dims[3] = {SD_UNLIMITED, 24, 5};
  int32 sds = SDcreate(sd, "SDS_Probe_ESA_set", DFNT_UINT32, 3, dims);
  SDendaccess(sds);
  finish();

  open(DFACC_READ);
  testing::internal::CaptureStderr();
  EXPECT_EQ(init_rd_con_hk(f, sd, "r"), -1);
  Concentrator_Housekeeping r;
  EXPECT_EQ(read_con_hk(&r, 0), -1);
  EXPECT_EQ(init_rd_sds_probe(f, sd, "r"), -1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(reports(err),
            (std::vector<std::string>{
                "ERROR in  con_hk.cpp -> init_acc_con_hk -> Hgetelement: the stored record is "
                "1248 bytes, the record's 52.",
                "ERROR in  sds_probe.cpp -> init_acc_sds_probe -> SDgetinfo: SDS_Probe_ESA_set is "
                "not of the record's type and shape"}))
      << err;
  finish();
}

TEST_F(Template, SdsFailureReports) {
  // A file without the product: the first SDS cannot be found.
  open(DFACC_CREATE);
  finish();
  open(DFACC_READ);
  testing::internal::CaptureStderr();
  EXPECT_EQ(init_rd_sds_probe(f, sd, "r"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr().substr(0, 90),
            std::string("\nERROR in  sds_probe.cpp -> init_acc_sds_probe -> SDnametoindex: "
                        "Couldn't find SDS_Probe_ESA_set\n")
                .substr(0, 90));
  finish();

  // Without a usable SD interface every SDS step fails and is reported, but
  // creation still succeeds: SDS failures leave its result alone. The writes
  // then fail on every SDS and report -1.
  open(DFACC_CREATE);
  testing::internal::CaptureStderr();
  EXPECT_EQ(init_wr_sds_probe(f, -1, an, "tlm_edr_data"), 0);
  std::string created = testing::internal::GetCapturedStderr();
  std::vector<std::string> expected;
  for (const char *name : {"SDS_Probe_ESA_set", "SDS_Probe_ESA_level", "SDS_Probe_counts"}) {
    const std::string n = name;
    expected.push_back(
        "ERROR in  sds_probe.cpp -> init_cr_sds_probe -> SDcreate: Couldn't create " + n);
    expected.push_back(
        "ERROR in  sds_probe.cpp -> init_cr_sds_probe -> SDidtoref: Couldn't get ref for " + n);
    expected.push_back(
        "ERROR in  sds_probe.cpp -> init_cr_sds_probe -> Vaddtagref: Couldn't add SDS " + n +
        " to Vgrp");
  }
  EXPECT_EQ(reports(created), expected) << created;
  testing::internal::CaptureStderr();
  EXPECT_EQ(write_sds_probe(probe(3), -1), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(reports(err), (std::vector<std::string>{"ERROR in  sds_probe.cpp -> write_sds_probe -> "
                                                    "SDwritedata: Problem writing ESA_set data.",
                                                    "ERROR in  sds_probe.cpp -> write_sds_probe -> "
                                                    "SDwritedata: Problem writing ESA_level data.",
                                                    "ERROR in  sds_probe.cpp -> write_sds_probe -> "
                                                    "SDwritedata: Problem writing counts data."}))
      << err;
  close_wr_sds_probe();
  finish();
}

// ---- positions and opening, through the C operations -------------------------

// The next `fail_calls` calls of the HDF4 function named `fail_name` fail.
// The record modules linked into this test call the definitions below, which
// pass every other call on to HDF4.
const char *fail_name = "";
int fail_calls = 0;

bool take_failure(const char *name) {
  if (fail_calls == 0 || strcmp(fail_name, name) != 0) return false;
  --fail_calls;
  return true;
}

// One module seen through its C operations: a record is known by its tag,
// its time in the Vdata and, in a module with SDS, its last count.
struct Api {
  const char *module;
  int32 (*init_wr)(int32, int32, int32, const char *);
  int32 (*write)(uint32 tag, int32 position);
  void (*close_wr)();
  int32 (*flush_wr)();
  int32 (*init_rd)(int32, int32, const char *);
  // The record's time, and its last count (its time again without SDS).
  int32 (*read)(int32 position, uint32 *tag, uint32 *count);
  void (*close_rd)();
};

#define API(m, R, count, set_count)                                         \
  Api {                                                                     \
#m, init_wr_##m,                                                          \
        [](uint32 tag, int32 pos) {                                           \
          R r;                                                                \
          memset(&r, 0, sizeof r);                                            \
          r.sclk_seconds = tag;                                               \
          set_count;                                                          \
          return write_##m(r, pos);                                           \
        },                                                                    \
        close_wr_##m, flush_wr_##m, init_rd_##m,                              \
        [](int32 pos, uint32 *tag, uint32 *c) {                               \
          R r;                                                                \
          memset(&r, 0, sizeof r);                                            \
          const int32 status = read_##m(&r, pos);                             \
          *tag = r.sclk_seconds;                                              \
          *c = count;                                                         \
          return status;                                                      \
        },                                                                    \
        close_rd_##m \
  }

const Api kApis[] = {
    API(con_hk, Concentrator_Housekeeping, r.sclk_seconds, (void)0),
    API(gem_raw, GEM_Raw, r.counts[23][4][6], r.counts[23][4][6] = static_cast<uint16>(tag)),
};
#undef API

void PrintTo(const Api &api, std::ostream *os) {
  *os << api.module;
}

}  // namespace

class Positions : public HdfFileTest, public testing::WithParamInterface<Api> {
 protected:
  const Api &api = GetParam();
  std::string source = std::string(GetParam().module) + ".cpp";
  std::string m = GetParam().module;

  std::string report(const std::string &op, const std::string &what) const {
    return "ERROR in  " + source + " -> " + op + "_" + m + " -> " + what;
  }
  // Records 100, 101, ... at positions 0 .. n-1.
  void write_file(int n) {
    open(DFACC_CREATE);
    ASSERT_EQ(api.init_wr(f, sd, an, "tlm_edr_data"), 0);
    for (int i = 0; i < n; ++i) ASSERT_EQ(api.write(100 + i, -1), 0);
    api.close_wr();
    finish();
  }
  // Reads at `position` and expects record `expected` (-1: nothing read).
  void expect_read(int32 position, int expected) {
    uint32 tag = 0, count = 0;
    const int32 status = api.read(position, &tag, &count);
    if (expected < 0) {
      EXPECT_EQ(status, -1) << "at " << position;
      return;
    }
    EXPECT_EQ(status, 0) << "at " << position;
    EXPECT_EQ(tag, 100u + expected) << "at " << position;
    EXPECT_EQ(count, 100u + expected) << "at " << position;
  }
  void expect_records(int n) {
    open(DFACC_READ);
    ASSERT_EQ(api.init_rd(f, sd, "r"), n);
    for (int i = 0; i < n; ++i) expect_read(i, i);
    api.close_rd();
    finish();
  }
};

// Below -1 nothing is written and nothing read, and the read position stays.
TEST_P(Positions, BelowMinusOneIsRefused) {
  open(DFACC_CREATE);
  ASSERT_EQ(api.init_wr(f, sd, an, "tlm_edr_data"), 0);
  for (int i = 0; i < 6; ++i) ASSERT_EQ(api.write(100 + i, -1), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(api.write(999, -2), -1);
  EXPECT_EQ(api.write(999, -7), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(reports(err),
            (std::vector<std::string>{report("write", "position check: -2 is below -1."),
                                      report("write", "position check: -7 is below -1.")}))
      << err;
  for (int i = 6; i < 10; ++i) ASSERT_EQ(api.write(100 + i, -1), 0);
  api.close_wr();
  finish();
  expect_records(10);

  open(DFACC_READ);
  ASSERT_EQ(api.init_rd(f, sd, "r"), 10);
  expect_read(5, 5);
  testing::internal::CaptureStderr();
  expect_read(-5, -1);
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(reports(err),
            (std::vector<std::string>{report("read", "position check: -5 is below -1.")}))
      << err;
  expect_read(-1, 6);
  api.close_rd();
  finish();
}

// Past the last record nothing is written: no gap of records that no write
// made. At the record count a write appends.
TEST_P(Positions, PastTheEndIsRefused) {
  open(DFACC_CREATE);
  ASSERT_EQ(api.init_wr(f, sd, an, "tlm_edr_data"), 0);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(api.write(100 + i, -1), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(api.write(999, 1000), -1);
  EXPECT_EQ(api.write(999, 6), -1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(reports(err),
            (std::vector<std::string>{
                report("write", "position check: 1000 is past the end of the 5 records."),
                report("write", "position check: 6 is past the end of the 5 records.")}))
      << err;
  ASSERT_EQ(api.write(105, 5), 0);
  ASSERT_EQ(api.write(106, -1), 0);
  api.close_wr();
  finish();
  expect_records(7);
}

extern "C" int32 VSseek(int32 vs, int32 position) {
  static const auto real = reinterpret_cast<int32 (*)(int32, int32)>(dlsym(RTLD_NEXT, "VSseek"));
  return take_failure("VSseek") ? FAIL : real(vs, position);
}

extern "C" intn VSinquire(int32 vs, int32 *n, int32 *interlace, char *fields, int32 *size,
                          char *name) {
  static const auto real =
      reinterpret_cast<intn (*)(int32, int32 *, int32 *, char *, int32 *, char *)>(
          dlsym(RTLD_NEXT, "VSinquire"));
  return take_failure("VSinquire") ? FAIL : real(vs, n, interlace, fields, size, name);
}

extern "C" int32 VSwrite(int32 vs, const uint8 *buf, int32 n, int32 interlace) {
  static const auto real =
      reinterpret_cast<int32 (*)(int32, const uint8 *, int32, int32)>(dlsym(RTLD_NEXT, "VSwrite"));
  return take_failure("VSwrite") ? FAIL : real(vs, buf, n, interlace);
}

extern "C" intn SDwritedata(int32 sds, int32 *start, int32 *stride, int32 *edge, void *data) {
  static const auto real = reinterpret_cast<intn (*)(int32, int32 *, int32 *, int32 *, void *)>(
      dlsym(RTLD_NEXT, "SDwritedata"));
  return take_failure("SDwritedata") ? FAIL : real(sds, start, stride, edge, data);
}

// Appended records are written behind, blocks at a time, across several
// blocks: a positional write among kept records and closing each see every
// record before them in place.
TEST_P(Positions, RecordsWrittenBehindKeepTheirPlaces) {
  constexpr int kRecords = 3000;  // more than two blocks of any module
  open(DFACC_CREATE);
  ASSERT_EQ(api.init_wr(f, sd, an, "tlm_edr_data"), 0);
  for (int i = 0; i < kRecords; ++i) ASSERT_EQ(api.write(100 + i, -1), 0) << i;
  ASSERT_EQ(api.write(100 + 2999, 2999), 0);  // the last, written again in place
  for (int i = 0; i < 5; ++i) ASSERT_EQ(api.write(100 + kRecords + i, -1), 0);
  for (int i = 5; i < 9; ++i) ASSERT_EQ(api.write(100 + kRecords + i, -1), 0);
  api.close_wr();  // writes the last four
  finish();
  expect_records(kRecords + 9);
}

// A block that cannot be written is reported by the operation that wrote
// it: the append that filled it, flush_wr or close_wr. flush_wr and the
// append give -1; the records are gone from the block either way.
TEST_P(Positions, FailedBlockWritesAreReported) {
  const char *calls[] = {"VSwrite", "SDwritedata"};
  const std::string what[] = {"VSwrite: Couldn't write data.",
                              "SDwritedata: Problem writing counts data."};
  for (int c = 0; c < (m == "con_hk" ? 1 : 2); ++c) {
    SCOPED_TRACE(calls[c]);
    open(DFACC_CREATE);
    ASSERT_EQ(api.init_wr(f, sd, an, "tlm_edr_data"), 0);
    fail_name = calls[c];
    fail_calls = c == 0 ? 1 : 3;  // gem_raw's three SDS
    testing::internal::CaptureStderr();
    int appended = 0;
    while (appended < 5000 && api.write(100 + appended, -1) == 0) ++appended;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_LT(appended, 5000) << "no block was written";
    std::vector<std::string> r = reports(err);
    ASSERT_FALSE(r.empty()) << err;
    EXPECT_EQ(r.back(), report("write", what[c])) << err;
    EXPECT_EQ(fail_calls, 0);
    EXPECT_EQ(api.flush_wr(), 0);  // nothing kept

    ASSERT_EQ(api.write(100, -1), 0);
    fail_name = calls[c];
    fail_calls = c == 0 ? 1 : 3;
    testing::internal::CaptureStderr();
    EXPECT_EQ(api.flush_wr(), -1);
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(reports(err).back(), report("flush_wr", what[c])) << err;
    EXPECT_EQ(api.flush_wr(), 0);

    ASSERT_EQ(api.write(100, -1), 0);
    fail_name = calls[c];
    fail_calls = c == 0 ? 1 : 3;
    testing::internal::CaptureStderr();
    api.close_wr();
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(reports(err).back(), report("close_wr", what[c])) << err;
    fail_calls = 0;
    finish();
  }
}

// A failed seek is reported and fails the write; after a failed seek in a
// read the table stands anywhere, so the next read seeks again.
TEST_P(Positions, FailedSeeks) {
  open(DFACC_CREATE);
  ASSERT_EQ(api.init_wr(f, sd, an, "tlm_edr_data"), 0);
  ASSERT_EQ(api.write(100, -1), 0);
  fail_name = "VSseek";
  fail_calls = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(api.write(100, 0), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(reports(err), (std::vector<std::string>{report("write", "VSseek: error.")})) << err;
  api.close_wr();
  finish();

  write_file(10);
  open(DFACC_READ);
  ASSERT_EQ(api.init_rd(f, sd, "r"), 10);
  fail_name = "VSseek";
  fail_calls = 1;
  testing::internal::CaptureStderr();
  uint32 tag = 0, count = 0;
  EXPECT_EQ(api.read(5, &tag, &count), -1);
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(reports(err), (std::vector<std::string>{report("read", "VSseek unsuccessful")})) << err;
  EXPECT_EQ(fail_calls, 0);
  expect_read(-1, 6);
  expect_read(-1, 7);
  api.close_rd();
  finish();
}

// A record count that cannot be had is a failure, not an empty table; what
// was opened is let go by close_rd, and the module opens again.
TEST_P(Positions, RecordCountThatCannotBeHad) {
  write_file(3);
  open(DFACC_READ);
  fail_name = "VSinquire";
  fail_calls = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(api.init_rd(f, sd, "r"), -1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(reports(err), (std::vector<std::string>{report(
                              "init_acc", "VSinquire: Couldn't get the number of records.")}))
      << err;
  fail_calls = 0;
  api.close_rd();
  ASSERT_EQ(api.init_rd(f, sd, "r"), 3);
  expect_read(2, 2);
  api.close_rd();
  finish();
}

// Opening a module that is open already is refused and leaves what is open
// as it was: the file keeps its product, and closes cleanly.
TEST_P(Positions, OpeningTwiceIsRefused) {
  open(DFACC_CREATE);
  ASSERT_EQ(api.init_wr(f, sd, an, "tlm_edr_data"), 0);
  ASSERT_EQ(api.write(100, -1), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(api.init_wr(f, sd, an, "tlm_edr_data"), -1);
  EXPECT_EQ(api.init_rd(f, sd, "r"), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(reports(err),
            (std::vector<std::string>{
                report("init_wr", "state check: the module is already open for writing."),
                report("init_rd", "state check: the module is already open for writing.")}))
      << err;
  ASSERT_EQ(api.write(101, -1), 0);
  api.close_wr();
  api.close_wr();  // closed already: nothing happens
  ANend(an);
  EXPECT_EQ(SDend(sd), 0);
  EXPECT_EQ(Vend(f), 0);
  EXPECT_EQ(Hclose(f), 0);
  expect_records(2);

  open(DFACC_READ);
  ASSERT_EQ(api.init_rd(f, sd, "r"), 2);
  expect_read(0, 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(api.init_rd(f, sd, "r"), -1);
  EXPECT_EQ(api.init_wr(f, sd, an, "tlm_edr_data"), -1);
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(reports(err),
            (std::vector<std::string>{
                report("init_rd", "state check: the module is already open for reading."),
                report("init_wr", "state check: the module is already open for reading.")}))
      << err;
  expect_read(-1, 1);
  api.close_rd();
  testing::internal::CaptureStderr();
  api.close_rd();  // closed already: nothing happens, nothing reported
  api.close_wr();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(api.init_rd(f, sd, "r"), 2);
  api.close_rd();
  finish();
}

INSTANTIATE_TEST_SUITE_P(Modules, Positions, testing::ValuesIn(kApis),
                         [](const testing::TestParamInfo<Api> &i) { return i.param.module; });
