// GIM normal record module: the table "GIM_Normal" and the SDS
// "GIM_Normal_counts" (80 mask elements by 40 levels per record) in the
// Vgroup "VG_GIM_Normal".
#include "gim_normal_api.h"
#include "record_module.h"

using Record = GIM_Normal;

// The description text is gim_normal.h itself, embedded at build time.
static const char gim_normal_text[] = {
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

#define FIELD(f, t) HLC_RM_FIELD(Record, f, t)

static constexpr hlc_rm::Field fields[] = {
    FIELD(APID_status, DFNT_UINT16),     FIELD(sclk_seconds, DFNT_UINT32),
    FIELD(sclk_subseconds, DFNT_UINT16), FIELD(step_time, DFNT_UINT16),
    FIELD(level, DFNT_UINT16),           FIELD(step_size, DFNT_UINT16),
    FIELD(integ_time, DFNT_UINT16),      FIELD(settle_time, DFNT_UINT16),
    FIELD(ESA_level, DFNT_UINT16),       FIELD(mask_table, DFNT_UINT8),
    FIELD(peak_sector, DFNT_UINT8),
};
#undef FIELD

static constexpr char field_list[] =
    "APID_status, sclk_seconds, sclk_subseconds, step_time, level, step_size, integ_time, "
    "settle_time, ESA_level, mask_table, peak_sector";

static constexpr hlc_rm::Sds sds[] = {
    {"GIM_Normal_counts",
     "counts",
     DFNT_UINT8,
     3,
     {0, GIM_MASK_ELEMENTS, GIM_CYCLE_LEVELS, 0},
     offsetof(Record, counts)},
};

static constexpr hlc_rm::Module mod = {
    .name = "gim_normal",
    .source = "gim_normal.cpp",
    .header = "gim_normal.h",
    .vgroup_name = "VG_GIM_Normal",
    .vgroup_class = "VG_GIM_NORMAL",
    .record_name = "GIM_Normal",
    .fields = fields,
    .nfields = sizeof fields / sizeof fields[0],
    .field_list = field_list,
    .sds = sds,
    .nsds = sizeof sds / sizeof sds[0],
    .packed_size = hlc_rm::packed_size_of(fields),
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

static_assert(hlc_rm::field_list_matches(fields, field_list));
static_assert(hlc_rm::orders_match(fields));
static_assert(hlc_rm::packed_size_of(fields) == 136);
static_assert(sizeof(Record::counts) == 80 * 40);
static_assert(sizeof gim_normal_text - 1 +
                      hlc_rm::description_length("gim_normal.h", "VG_GIM_Normal", "") ==
                  2818,
              "the description text is 2818 characters, within its 2970-byte buffer");

extern "C" {
int32 init_cr_gim_normal(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_cr(mod, f, sd, an, c);
}
int32 init_wr_gim_normal(int32 f, int32 sd, int32 an, const char *c) {
  return init_cr_gim_normal(f, sd, an, c);
}
int32 write_gim_normal(Record r, int32 pos) {
  return hlc_rm::write(mod, &r, pos);
}
void close_wr_gim_normal(void) {
  hlc_rm::close_wr(mod);
}
int32 init_acc_gim_normal(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_acc(mod, f, sd, a);
}
int32 init_rd_gim_normal(int32 f, int32 sd, const char *a) {
  return init_acc_gim_normal(f, sd, a);
}
int32 read_gim_normal(Record *r, int32 pos) {
  return hlc_rm::read(mod, r, pos);
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
