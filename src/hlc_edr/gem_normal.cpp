// GEM normal record module: the table "GEM_Normal" and the SDS
// "GEM_Normal_counts" in the Vgroup "VG_GEM_Normal".
#include "gem_normal_api.h"
#include "record_module.h"

using Record = GEM_Normal;

// The description text is gem_normal.h itself, embedded at build time.
static const char gem_normal_text[] = {
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

#define FIELD(f, t) HLC_RM_FIELD(Record, f, t)

static constexpr hlc_rm::Field fields[] = {
    FIELD(APID_status, DFNT_UINT16),     FIELD(sclk_seconds, DFNT_UINT32),
    FIELD(sclk_subseconds, DFNT_UINT16), FIELD(step_time, DFNT_UINT16),
    FIELD(level, DFNT_UINT16),           FIELD(step_size, DFNT_UINT16),
    FIELD(integ_time, DFNT_UINT16),      FIELD(settle_time, DFNT_UINT16),
    FIELD(ESA_level, DFNT_UINT16),
};
#undef FIELD

static constexpr char field_list[] =
    "APID_status, sclk_seconds, sclk_subseconds, step_time, level, step_size, integ_time, "
    "settle_time, ESA_level";

// counts[GEM_AZIMUTH_SECTORS][GEM_CEMS][GEM_CYCLE_LEVELS], one slab per record.
static constexpr hlc_rm::Sds sds[] = {
    {"GEM_Normal_counts",
     "counts",
     DFNT_UINT8,
     4,
     {0, GEM_AZIMUTH_SECTORS, GEM_CEMS, GEM_CYCLE_LEVELS},
     offsetof(Record, counts)},
};

static constexpr hlc_rm::Module mod = {
    .name = "gem_normal",
    .source = "gem_normal.cpp",
    .header = "gem_normal.h",
    .vgroup_name = "VG_GEM_Normal",
    .vgroup_class = "VG_GEM_NORMAL",
    .record_name = "GEM_Normal",
    .fields = fields,
    .nfields = sizeof fields / sizeof fields[0],
    .field_list = field_list,
    .sds = sds,
    .nsds = sizeof sds / sizeof sds[0],
    .packed_size = hlc_rm::packed_size_of(fields),
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

static_assert(hlc_rm::field_list_matches(fields, field_list));
static_assert(hlc_rm::orders_match(fields));
static_assert(hlc_rm::packed_size_of(fields) == 94);
static_assert(sizeof(Record::counts) == GEM_AZIMUTH_SECTORS * GEM_CEMS * GEM_CYCLE_LEVELS);
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
  return init_cr_gem_normal(f, sd, an, c);
}
int32 write_gem_normal(Record r, int32 pos) {
  return hlc_rm::write(mod, &r, pos);
}
void close_wr_gem_normal(void) {
  hlc_rm::close_wr(mod);
}
int32 init_acc_gem_normal(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_acc(mod, f, sd, a);
}
int32 init_rd_gem_normal(int32 f, int32 sd, const char *a) {
  return init_acc_gem_normal(f, sd, a);
}
int32 read_gem_normal(Record *r, int32 pos) {
  return hlc_rm::read(mod, r, pos);
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
