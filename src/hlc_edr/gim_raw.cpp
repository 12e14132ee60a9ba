// GIM raw record module: the table "GIM_Raw" in the Vgroup "VG_GIM_Raw", with
// the SDS "GIM_Raw_ESA_set", "GIM_Raw_ESA_level" and "GIM_Raw_counts".
#include "gim_raw_api.h"
#include "record_module.h"

using Record = GIM_Raw;

// The description text is gim_raw.h itself, embedded at build time.
static const char gim_raw_text[] = {
#include "gim_raw_text.inc"
};

extern "C" {
int32 vgrp_id_gim_raw = -1;
char Vgrp_descrp_GIM_Raw[GIM_RAW_DESC_SIZE];
}
static int32 vdata_id_gim_raw = -1;
static int32 sds_id_gim_raw1 = -1;
static int32 sds_id_gim_raw2 = -1;
static int32 sds_id_gim_raw3 = -1;
static int32 recnum_wr = 0;
static int32 recnum_rd = -1;
static hlc_rm::Session session;  // open use, and where the next read happens

#define FIELD(f, t) HLC_RM_FIELD(Record, f, t)

static constexpr hlc_rm::Field fields[] = {
    FIELD(sclk_seconds, DFNT_UINT32), FIELD(sclk_subseconds, DFNT_UINT16),
    FIELD(start_req, DFNT_UINT16),    FIELD(step_size, DFNT_UINT16),
    FIELD(step_time, DFNT_UINT16),    FIELD(angle, DFNT_UINT16),
};
#undef FIELD

static constexpr char field_list[] =
    "sclk_seconds, sclk_subseconds, start_req, step_size, step_time, angle";

// Sector outermost; level, or for the counts CEM, varying fastest.
static constexpr hlc_rm::Sds sds[] = {
    {.name = "GIM_Raw_ESA_set",
     .short_name = "ESA_set",
     .type = DFNT_UINT16,
     .rank = 3,
     .dims = {0, GIM_AZIMUTH_SECTORS, GIM_SPIN_LEVELS, 0},
     .offset = offsetof(Record, ESA_set)},
    {.name = "GIM_Raw_ESA_level",
     .short_name = "ESA_level",
     .type = DFNT_UINT16,
     .rank = 3,
     .dims = {0, GIM_AZIMUTH_SECTORS, GIM_SPIN_LEVELS, 0},
     .offset = offsetof(Record, ESA_level)},
    {.name = "GIM_Raw_counts",
     .short_name = "counts",
     .type = DFNT_UINT16,
     .rank = 4,
     .dims = {0, GIM_AZIMUTH_SECTORS, GIM_SPIN_LEVELS, GIM_CEMS},
     .offset = offsetof(Record, counts)},
};

static constexpr hlc_rm::Module mod = {
    .name = "gim_raw",
    .source = "gim_raw.cpp",
    .header = "gim_raw.h",
    .vgroup_name = "VG_GIM_Raw",
    .vgroup_class = "VG_GIM_RAW",
    .record_name = "GIM_Raw",
    .fields = fields,
    .nfields = sizeof fields / sizeof fields[0],
    .field_list = field_list,
    .sds = sds,
    .nsds = sizeof sds / sizeof sds[0],
    .packed_size = hlc_rm::packed_size_of(fields),
    .text = gim_raw_text,
    .desc = Vgrp_descrp_GIM_Raw,
    .desc_size = GIM_RAW_DESC_SIZE,
    .vgrp_id = &vgrp_id_gim_raw,
    .vdata_id = &vdata_id_gim_raw,
    .sds_id = {&sds_id_gim_raw1, &sds_id_gim_raw2, &sds_id_gim_raw3},
    .recnum_wr = &recnum_wr,
    .recnum_rd = &recnum_rd,
    .session = &session,
};

static_assert(hlc_rm::field_list_matches(fields, field_list));
static_assert(hlc_rm::orders_match(fields));
static_assert(hlc_rm::packed_size_of(fields) == 326);
static_assert(sizeof gim_raw_text - 1 + hlc_rm::description_length("gim_raw.h", "VG_GIM_Raw", "") ==
                  2118,
              "the description text is 2118 characters, within its 2333-byte buffer");

extern "C" {
int32 init_cr_gim_raw(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_cr(mod, f, sd, an, c);
}
int32 init_wr_gim_raw(int32 f, int32 sd, int32 an, const char *c) {
  return init_cr_gim_raw(f, sd, an, c);
}
int32 write_gim_raw(Record r, int32 pos) {
  return hlc_rm::write(mod, &r, pos);
}
void close_wr_gim_raw(void) {
  hlc_rm::close_wr(mod);
}
int32 init_acc_gim_raw(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_acc(mod, f, sd, a);
}
int32 init_rd_gim_raw(int32 f, int32 sd, const char *a) {
  return init_acc_gim_raw(f, sd, a);
}
int32 read_gim_raw(Record *r, int32 pos) {
  return hlc_rm::read(mod, r, pos);
}
void close_rd_gim_raw(void) {
  hlc_rm::close_rd(mod);
}
void rd_Vgrp_desc_gim_raw(int32 f, int32 an) {
  hlc_rm::rd_desc(mod, f, an);
}
void print_gim_raw_error(const char *msg) {
  hlc_rm::print_error(mod, msg);
}
void pack_gim_raw(void *p, const Record *r) {
  hlc_rm::pack(mod, p, r);
}
void unpack_gim_raw(const void *p, Record *r) {
  hlc_rm::unpack(mod, p, r);
}
int32 get_vgrp_id_gim_raw(void) {
  return vgrp_id_gim_raw;
}
int32 wr_Vgrp_desc_gim_raw(char *buf) {
  return hlc_rm::wr_desc(mod, buf);
}
}
