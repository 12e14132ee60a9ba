// GIM manual/calibration record module: the table "GIM_ManCal" and the SDS
// "GIM_ManCal_counts" (8 CEMs by 10 levels per record) in the Vgroup
// "VG_GIM_ManCal".
#include "gim_mancal_api.h"
#include "record_module.h"

using Record = GIM_ManCal;

// The description text is gim_mancal.h itself, embedded at build time.
static constexpr char gim_mancal_text[] = {
#include "gim_mancal_text.inc"
};

extern "C" {
int32 vgrp_id_gim_mancal = -1;
char Vgrp_descrp_GIM_ManCal[GIM_MANCAL_DESC_SIZE];
}
static int32 vdata_id_gim_mancal = -1;
static int32 sds_id_gim_mancal1 = -1;
static int32 recnum_wr = 0;
static int32 recnum_rd = -1;
static hlc_rm::Session session;  // open use, and where the next read happens

using namespace hlc_rm::terms;
#define V(f, t, ...) HLC_RM_MEMBER(Record, f, DFNT_##t, nullptr, __VA_ARGS__)
#define S(f, t, ...) HLC_RM_MEMBER(Record, f, DFNT_##t, "GIM_ManCal_" #f, __VA_ARGS__)
#define D HLC_RM_DIM

// The record's members, in declaration order, with what gim_mancal.h says of them.
static constexpr hlc_rm::Entry members[] = {
    {V(sclk_seconds, UINT32), {.long_name = "SCLK seconds of start of measurement", .units = "s"}},
    {V(sclk_subseconds, UINT16),
     {.long_name = "fractions of SCLK second of start of measurement", .units = "s/65536"}},
    {V(APID_status, UINT16),
     {.long_name = "APID status word",
      .comment = HLC_RM_BIT_ORDER_UNCERTAIN "; " HLC_RM_AZIMUTH_SAMPLED
                                            "; bits 13-15: St_cal_spin, a spin number",
      .flags =
          {{bit(8), bit(9), bit(10), bit(11), bit(12)},
           "St_man_cal_fl Checksum_Error_Occur_Indication Early_Sync Synthetic_Sync Test_Data"}}},
    {V(step_time, UINT16), {.long_name = "step time specified in the command", .units = "1e-7 s"}},
    {V(integ_time, UINT16), kIntegTime},
    {V(settle_time, UINT16), kSettleTime},
    {S(counts, UINT8, D(GIM_CEMS), D(GIM_SPIN_LEVELS)),
     {.long_name = "CEM counts for each CEM and level, 8 CEMs by 10 levels",
      .comment = "not expanded, not scaled"}},
};
#undef V
#undef S
#undef D
static constexpr auto table = hlc_rm::layout(members);

static constexpr char field_list[] =
    "sclk_seconds, sclk_subseconds, APID_status, step_time, integ_time, settle_time";

static constexpr hlc_rm::Module mod = {
    .name = "gim_mancal",
    .source = "gim_mancal.cpp",
    .header = "gim_mancal.h",
    .vgroup_name = "VG_GIM_ManCal",
    .vgroup_class = "VG_GIM_MANCAL",
    .record_name = "GIM_ManCal",
    .title = "GIM Manual/Calibration Mode Data",
    .instrument = "GIM",
    .record_size = sizeof(Record),
    .layout = table.view(),
    .pack = hlc_rm::packer<table>,
    .unpack = hlc_rm::unpacker<table>,
    .field_list = field_list,
    .text = gim_mancal_text,
    .desc = Vgrp_descrp_GIM_ManCal,
    .desc_size = GIM_MANCAL_DESC_SIZE,
    .vgrp_id = &vgrp_id_gim_mancal,
    .vdata_id = &vdata_id_gim_mancal,
    .sds_id = {&sds_id_gim_mancal1, nullptr, nullptr},
    .recnum_wr = &recnum_wr,
    .recnum_rd = &recnum_rd,
    .session = &session,
};

static_assert(hlc_rm::module_ok(mod, table));
static_assert(table.packed_size == 14);
static_assert(sizeof gim_mancal_text - 1 +
                      hlc_rm::description_length("gim_mancal.h", "VG_GIM_ManCal", "") ==
                  2089,
              "the description text is 2089 characters, within its 2122-byte buffer");

extern "C" {
int32 init_cr_gim_mancal(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_cr(mod, f, sd, an, c);
}
int32 init_wr_gim_mancal(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_wr(mod, init_cr_gim_mancal, f, sd, an, c);
}
int32 write_gim_mancal(Record r, int32 pos) {
  return hlc_rm::write(mod, &r, pos);
}
int32 flush_wr_gim_mancal(void) {
  return hlc_rm::flush_wr(mod);
}
void close_wr_gim_mancal(void) {
  hlc_rm::close_wr(mod);
}
int32 init_acc_gim_mancal(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_acc(mod, f, sd, a);
}
int32 init_rd_gim_mancal(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_rd(mod, init_acc_gim_mancal, f, sd, a);
}
int32 read_gim_mancal(Record *r, int32 pos) {
  return hlc_rm::read(mod, r, pos);
}
int32 read_block_gim_mancal(int32 pos, int32 n, void *const *cols) {
  return hlc_rm::read_block(mod, pos, n, cols);
}
void close_rd_gim_mancal(void) {
  hlc_rm::close_rd(mod);
}
void rd_Vgrp_desc_gim_mancal(int32 f, int32 an) {
  hlc_rm::rd_desc(mod, f, an);
}
void print_gim_mancal_error(const char *msg) {
  hlc_rm::print_error(mod, msg);
}
void pack_gim_mancal(void *p, const Record *r) {
  hlc_rm::pack(mod, p, r);
}
void unpack_gim_mancal(const void *p, Record *r) {
  hlc_rm::unpack(mod, p, r);
}
int32 get_vgrp_id_gim_mancal(void) {
  return vgrp_id_gim_mancal;
}
int32 wr_Vgrp_desc_gim_mancal(char *buf) {
  return hlc_rm::wr_desc(mod, buf);
}
}

extern "C" constinit const hlc_edr_product hlc_edr_product_gim_mancal =
    hlc_rm::describe(mod, HLC_RM_OPERATIONS(gim_mancal, Record));
