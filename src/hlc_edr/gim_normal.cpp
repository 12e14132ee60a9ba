// GIM normal record module: the table "GIM_Normal" and the SDS
// "GIM_Normal_counts" (80 mask elements by 40 levels per record) in the
// Vgroup "VG_GIM_Normal".
#include "gim_normal_api.h"
#include "record_module.h"

using Record = GIM_Normal;

// The description text is gim_normal.h itself, embedded at build time.
static constexpr char gim_normal_text[] = {
#include "gim_normal_text.inc"
};

extern "C" {
int32 vgrp_id_gim_normal = -1;
char Vgrp_descrp_GIM_Normal[GIM_NORMAL_DESC_SIZE];
}
static int32 vdata_id_gim_normal = -1;
static int32 sds_id_gim_normal1 = -1;
static int32 recnum_wr = 0;
static int32 recnum_rd = -1;
static hlc_rm::Session session;  // open use, and where the next read happens

using namespace hlc_rm::terms;
#define V(f, t, ...) HLC_RM_MEMBER(Record, f, DFNT_##t, nullptr, __VA_ARGS__)
#define S(f, t, ...) HLC_RM_MEMBER(Record, f, DFNT_##t, "GIM_Normal_" #f, __VA_ARGS__)
#define D HLC_RM_DIM

// The record's members, in declaration order, with what gim_normal.h says of them.
static constexpr hlc_rm::Entry members[] = {
    {V(APID_status, UINT16), kGimCycleApidStatus},
    {V(sclk_seconds, UINT32, D(GIM_SPINS)),
     {.long_name = "SCLK seconds of start of spins 1-4", .units = "s"}},
    {V(sclk_subseconds, UINT16, D(GIM_SPINS)),
     {.long_name = "fractions of SCLK second of start of spins 1-4", .units = "s/65536"}},
    {V(step_time, UINT16, D(GIM_SPINS)),
     {.long_name = "step time specified in the command, per spin", .units = "1e-7 s"}},
    {V(level, UINT16, D(GIM_SPINS)),
     {.long_name = "ADC value of ESA voltage readback for the voltage level, per spin",
      .comment = "DAC units",
      .valid = kAdc}},
    {V(step_size, UINT16, D(GIM_SPINS)),
     {.long_name = "voltage level step size specified in the command, per spin",
      .units = "0.01 %"}},
    {V(integ_time, UINT16), kIntegTime},
    {V(settle_time, UINT16), kSettleTime},
    {V(ESA_level, UINT16, D(GIM_CYCLE_LEVELS)), kCycleEsaLevels},
    {V(mask_table, UINT8),
     {.long_name = "which of the 5 mask tables was used", .comment = HLC_RM_QUESTIONED}},
    {V(peak_sector, UINT8),
     {.long_name = "azimuth sector in which the peak counts were found",
      .comment = HLC_RM_QUESTIONED}},
    {S(counts, UINT8, D(GIM_MASK_ELEMENTS), D(GIM_CYCLE_LEVELS)),
     {.long_name = "CEM counts for each CEM-azimuth mask element and level",
      .comment = "not expanded, not scaled"}},
};
#undef V
#undef S
#undef D
static constexpr auto table = hlc_rm::layout(members);

static constexpr char field_list[] =
    "APID_status, sclk_seconds, sclk_subseconds, step_time, level, step_size, integ_time, "
    "settle_time, ESA_level, mask_table, peak_sector";

static constexpr hlc_rm::Module mod = {
    .name = "gim_normal",
    .source = "gim_normal.cpp",
    .header = "gim_normal.h",
    .vgroup_name = "VG_GIM_Normal",
    .vgroup_class = "VG_GIM_NORMAL",
    .record_name = "GIM_Normal",
    .title = "GIM Normal Mode Data",
    .instrument = "GIM",
    .record_size = sizeof(Record),
    .layout = table.view(),
    .pack = hlc_rm::packer<table>,
    .unpack = hlc_rm::unpacker<table>,
    .field_list = field_list,
    .text = gim_normal_text,
    .desc = Vgrp_descrp_GIM_Normal,
    .desc_size = GIM_NORMAL_DESC_SIZE,
    .vgrp_id = &vgrp_id_gim_normal,
    .vdata_id = &vdata_id_gim_normal,
    .sds_id = {&sds_id_gim_normal1, nullptr, nullptr},
    .recnum_wr = &recnum_wr,
    .recnum_rd = &recnum_rd,
    .session = &session,
};

static_assert(hlc_rm::module_ok(mod, table));
static_assert(table.packed_size == 136);
static_assert(sizeof gim_normal_text - 1 +
                      hlc_rm::description_length("gim_normal.h", "VG_GIM_Normal", "") ==
                  2818,
              "the description text is 2818 characters, within its 2970-byte buffer");

extern "C" {
int32 init_cr_gim_normal(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_cr(mod, f, sd, an, c);
}
int32 init_wr_gim_normal(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_wr(mod, init_cr_gim_normal, f, sd, an, c);
}
int32 write_gim_normal(Record r, int32 pos) {
  return hlc_rm::write(mod, &r, pos);
}
int32 flush_wr_gim_normal(void) {
  return hlc_rm::flush_wr(mod);
}
void close_wr_gim_normal(void) {
  hlc_rm::close_wr(mod);
}
int32 init_acc_gim_normal(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_acc(mod, f, sd, a);
}
int32 init_rd_gim_normal(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_rd(mod, init_acc_gim_normal, f, sd, a);
}
int32 read_gim_normal(Record *r, int32 pos) {
  return hlc_rm::read(mod, r, pos);
}
int32 read_block_gim_normal(int32 pos, int32 n, void *const *cols) {
  return hlc_rm::read_block(mod, pos, n, cols);
}
void close_rd_gim_normal(void) {
  hlc_rm::close_rd(mod);
}
void rd_Vgrp_desc_gim_normal(int32 f, int32 an) {
  hlc_rm::rd_desc(mod, f, an);
}
void print_gim_normal_error(const char *msg) {
  hlc_rm::print_error(mod, msg);
}
void pack_gim_normal(void *p, const Record *r) {
  hlc_rm::pack(mod, p, r);
}
void unpack_gim_normal(const void *p, Record *r) {
  hlc_rm::unpack(mod, p, r);
}
int32 get_vgrp_id_gim_normal(void) {
  return vgrp_id_gim_normal;
}
int32 wr_Vgrp_desc_gim_normal(char *buf) {
  return hlc_rm::wr_desc(mod, buf);
}
}

extern "C" constinit const hlc_edr_product hlc_edr_product_gim_normal =
    hlc_rm::describe(mod, HLC_RM_OPERATIONS(gim_normal, Record));
