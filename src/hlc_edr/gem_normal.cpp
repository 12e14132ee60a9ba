// GEM normal record module: the table "GEM_Normal" and the SDS
// "GEM_Normal_counts" in the Vgroup "VG_GEM_Normal".
#include "gem_normal_api.h"
#include "record_module.h"

using Record = GEM_Normal;

// The description text is gem_normal.h itself, embedded at build time.
static constexpr char gem_normal_text[] = {
#include "gem_normal_text.inc"
};

extern "C" {
int32 vgrp_id_gem_normal = -1;
char Vgrp_descrp_GEM_Normal[GEM_NORMAL_DESC_SIZE];
}
static int32 vdata_id_gem_normal = -1;
static int32 sds_id_gem_normal1 = -1;
static int32 recnum_wr = 0;
static int32 recnum_rd = -1;
static hlc_rm::Session session;  // open use, and where the next read happens

using namespace hlc_rm::terms;
#define V(f, t, ...) HLC_RM_MEMBER(Record, f, DFNT_##t, nullptr, __VA_ARGS__)
#define S(f, t, ...) HLC_RM_MEMBER(Record, f, DFNT_##t, "GEM_Normal_" #f, __VA_ARGS__)
#define D HLC_RM_DIM

// The record's members, in declaration order, with what gem_normal.h says of them.
static constexpr hlc_rm::Entry members[] = {
    {V(APID_status, UINT16),
     {.long_name = "APID status word",
      .comment = HLC_RM_BIT_ORDER_UNCERTAIN
      "; bits 4-9: Status_Checksum_Error, a value (the record header names no states)",
      .flags = {{bit(0), bit(1), bit(2), bit(3)},
                "Status_Early_Sync Status_Synthetic_Sync Status_Test_Data Status_Use_Data"}}},
    {V(sclk_seconds, UINT32, D(GEM_SPINS)),
     {.long_name = "SCLK seconds of start of spins 1-4", .units = "s"}},
    {V(sclk_subseconds, UINT16, D(GEM_SPINS)),
     {.long_name = "fractions of SCLK second of start of spins 1-4", .units = "s/65536"}},
    {V(step_time, UINT16, D(GEM_SPINS)),
     {.long_name = "per spin, step time specified in the command", .units = "1e-7 s"}},
    {V(level, UINT16, D(GEM_SPINS)),
     {.long_name = "per spin, ADC value of ESA voltage readback for the voltage level",
      .comment = "DAC units",
      .valid = kAdc}},
    {V(step_size, UINT16, D(GEM_SPINS)),
     {.long_name = "per spin, voltage level step size specified in the command",
      .units = "0.01 %"}},
    {V(integ_time, UINT16), kIntegTime},
    {V(settle_time, UINT16), kSettleTime},
    {V(ESA_level, UINT16, D(GEM_CYCLE_LEVELS)), kCycleEsaLevels},
    {S(counts, UINT8, D(GEM_AZIMUTH_SECTORS), D(GEM_CEMS), D(GEM_CYCLE_LEVELS)),
     {.long_name = "CEM counts for each sector, CEM and level", .comment = kAsReceived}},
};
#undef V
#undef S
#undef D
static constexpr auto table = hlc_rm::layout(members);

static constexpr char field_list[] =
    "APID_status, sclk_seconds, sclk_subseconds, step_time, level, step_size, integ_time, "
    "settle_time, ESA_level";

static constexpr hlc_rm::Module mod = {
    .name = "gem_normal",
    .source = "gem_normal.cpp",
    .header = "gem_normal.h",
    .vgroup_name = "VG_GEM_Normal",
    .vgroup_class = "VG_GEM_NORMAL",
    .record_name = "GEM_Normal",
    .title = "GEM Normal Mode Data",
    .instrument = "GEM",
    .record_size = sizeof(Record),
    .layout = table.view(),
    .pack = hlc_rm::packer<table>,
    .unpack = hlc_rm::unpacker<table>,
    .field_list = field_list,
    .text = gem_normal_text,
    .desc = Vgrp_descrp_GEM_Normal,
    .desc_size = GEM_NORMAL_DESC_SIZE,
    .vgrp_id = &vgrp_id_gem_normal,
    .vdata_id = &vdata_id_gem_normal,
    .sds_id = {&sds_id_gem_normal1, nullptr, nullptr},
    .recnum_wr = &recnum_wr,
    .recnum_rd = &recnum_rd,
    .session = &session,
};

static_assert(hlc_rm::module_ok(mod, table));
static_assert(table.packed_size == 94);
static_assert(sizeof gem_normal_text - 1 +
                      hlc_rm::description_length("gem_normal.h", "VG_GEM_Normal", "") ==
                  2535,
              "the description text is 2535 characters");
static_assert(2535 < GEM_NORMAL_DESC_SIZE, "the description and its NUL fit the buffer");

extern "C" {
int32 init_cr_gem_normal(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_cr(mod, f, sd, an, c);
}
int32 init_wr_gem_normal(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_wr(mod, init_cr_gem_normal, f, sd, an, c);
}
int32 write_gem_normal(Record r, int32 pos) {
  return hlc_rm::write(mod, &r, pos);
}
int32 flush_wr_gem_normal(void) {
  return hlc_rm::flush_wr(mod);
}
void close_wr_gem_normal(void) {
  hlc_rm::close_wr(mod);
}
int32 init_acc_gem_normal(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_acc(mod, f, sd, a);
}
int32 init_rd_gem_normal(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_rd(mod, init_acc_gem_normal, f, sd, a);
}
int32 read_gem_normal(Record *r, int32 pos) {
  return hlc_rm::read(mod, r, pos);
}
int32 read_block_gem_normal(int32 pos, int32 n, void *const *cols) {
  return hlc_rm::read_block(mod, pos, n, cols);
}
void close_rd_gem_normal(void) {
  hlc_rm::close_rd(mod);
}
void rd_Vgrp_desc_gem_normal(int32 f, int32 an) {
  hlc_rm::rd_desc(mod, f, an);
}
void print_gem_normal_error(const char *msg) {
  hlc_rm::print_error(mod, msg);
}
void pack_gem_normal(void *p, const Record *r) {
  hlc_rm::pack(mod, p, r);
}
void unpack_gem_normal(const void *p, Record *r) {
  hlc_rm::unpack(mod, p, r);
}
int32 get_vgrp_id_gem_normal(void) {
  return vgrp_id_gem_normal;
}
int32 wr_Vgrp_desc_gem_normal(char *buf) {
  return hlc_rm::wr_desc(mod, buf);
}
}

extern "C" constinit const hlc_edr_product hlc_edr_product_gem_normal =
    hlc_rm::describe(mod, HLC_RM_OPERATIONS(gem_normal, Record));
