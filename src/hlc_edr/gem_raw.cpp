// GEM raw record module: the table "GEM_Raw" and the SDS "GEM_Raw_ESA_set",
// "GEM_Raw_ESA_level" and "GEM_Raw_counts" in the Vgroup "VG_GEM_Raw".
#include "gem_raw_api.h"
#include "record_module.h"

using Record = GEM_Raw;

// The description text is gem_raw.h itself, embedded at build time.
static const char gem_raw_text[] = {
#include "gem_raw_text.inc"
};

extern "C" {
int32 vgrp_id_gem_raw = -1;
char Vgrp_descrp_GEM_Raw[GEM_RAW_DESC_SIZE];
}
static int32 vdata_id_gem_raw = -1;
static int32 sds_id_gem_raw1 = -1;  // ESA_set
static int32 sds_id_gem_raw2 = -1;  // ESA_level
static int32 sds_id_gem_raw3 = -1;  // counts
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

// Per sector and level, and per sector, level and CEM; one slab per record.
static constexpr hlc_rm::Sds sds[] = {
    {"GEM_Raw_ESA_set",
     "ESA_set",
     DFNT_UINT16,
     3,
     {0, GEM_AZIMUTH_SECTORS, GEM_SPIN_LEVELS, 0},
     offsetof(Record, ESA_set)},
    {"GEM_Raw_ESA_level",
     "ESA_level",
     DFNT_UINT16,
     3,
     {0, GEM_AZIMUTH_SECTORS, GEM_SPIN_LEVELS, 0},
     offsetof(Record, ESA_level)},
    {"GEM_Raw_counts",
     "counts",
     DFNT_UINT16,
     4,
     {0, GEM_AZIMUTH_SECTORS, GEM_SPIN_LEVELS, GEM_CEMS},
     offsetof(Record, counts)},
};

static constexpr hlc_rm::Module mod = {
    .name = "gem_raw",
    .source = "gem_raw.cpp",
    .header = "gem_raw.h",
    .vgroup_name = "VG_GEM_Raw",
    .vgroup_class = "VG_GEM_RAW",
    .record_name = "GEM_Raw",
    .fields = fields,
    .nfields = sizeof fields / sizeof fields[0],
    .field_list = field_list,
    .sds = sds,
    .nsds = sizeof sds / sizeof sds[0],
    .packed_size = hlc_rm::packed_size_of(fields),
    .text = gem_raw_text,
    .desc = Vgrp_descrp_GEM_Raw,
    .desc_size = GEM_RAW_DESC_SIZE,
    .vgrp_id = &vgrp_id_gem_raw,
    .vdata_id = &vdata_id_gem_raw,
    .sds_id = {&sds_id_gem_raw1, &sds_id_gem_raw2, &sds_id_gem_raw3},
    .recnum_wr = &recnum_wr,
    .recnum_rd = &recnum_rd,
    .session = &session,
};

static_assert(hlc_rm::field_list_matches(fields, field_list));
static_assert(hlc_rm::orders_match(fields));
static_assert(hlc_rm::packed_size_of(fields) == 198);
static_assert(sizeof gem_raw_text - 1 + hlc_rm::description_length("gem_raw.h", "VG_GEM_Raw", "") ==
                  2058,
              "the description text is 2058 characters");
static_assert(2058 < GEM_RAW_DESC_SIZE, "the description and its NUL fit the buffer");

extern "C" {
int32 init_cr_gem_raw(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_cr(mod, f, sd, an, c);
}
int32 init_wr_gem_raw(int32 f, int32 sd, int32 an, const char *c) {
  return init_cr_gem_raw(f, sd, an, c);
}
int32 write_gem_raw(Record r, int32 pos) {
  return hlc_rm::write(mod, &r, pos);
}
void close_wr_gem_raw(void) {
  hlc_rm::close_wr(mod);
}
int32 init_acc_gem_raw(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_acc(mod, f, sd, a);
}
int32 init_rd_gem_raw(int32 f, int32 sd, const char *a) {
  return init_acc_gem_raw(f, sd, a);
}
int32 read_gem_raw(Record *r, int32 pos) {
  return hlc_rm::read(mod, r, pos);
}
void close_rd_gem_raw(void) {
  hlc_rm::close_rd(mod);
}
void rd_Vgrp_desc_gem_raw(int32 f, int32 an) {
  hlc_rm::rd_desc(mod, f, an);
}
void print_gem_raw_error(const char *msg) {
  hlc_rm::print_error(mod, msg);
}
void pack_gem_raw(void *p, const Record *r) {
  hlc_rm::pack(mod, p, r);
}
void unpack_gem_raw(const void *p, Record *r) {
  hlc_rm::unpack(mod, p, r);
}
int32 get_vgrp_id_gem_raw(void) {
  return vgrp_id_gem_raw;
}
int32 wr_Vgrp_desc_gem_raw(char *buf) {
  return hlc_rm::wr_desc(mod, buf);
}
}
