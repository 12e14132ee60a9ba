// GEM manual/calibration record module: the table "GEM_ManCal" and the SDS
// "GEM_ManCal_counts" in the Vgroup "VG_GEM_ManCal".
#include "gem_mancal_api.h"
#include "record_module.h"

using Record = GEM_ManCal;

// The description text is gem_mancal.h itself, embedded at build time.
static const char gem_mancal_text[] = {
#include "gem_mancal_text.inc"
};

extern "C" {
int32 vgrp_id_gem_mancal = -1;
char Vgrp_descrp_GEM_ManCal[GEM_MANCAL_DESC_SIZE];
}
static int32 vdata_id_gem_mancal = -1;
static int32 sds_id_gem_mancal1 = -1;
static int32 recnum_wr = 0;
static int32 recnum_rd = -1;
static hlc_rm::Session session;  // open use, and where the next read happens

#define FIELD(f, t) HLC_RM_FIELD(Record, f, t)

static constexpr hlc_rm::Field fields[] = {
    FIELD(sclk_seconds, DFNT_UINT32), FIELD(sclk_subseconds, DFNT_UINT16),
    FIELD(APID_status, DFNT_UINT16),  FIELD(step_time, DFNT_UINT16),
    FIELD(integ_time, DFNT_UINT16),   FIELD(settle_time, DFNT_UINT16),
};
#undef FIELD

static constexpr char field_list[] =
    "sclk_seconds, sclk_subseconds, APID_status, step_time, integ_time, settle_time";

// counts[GEM_CEMS][GEM_SPIN_LEVELS], one slab per record.
static constexpr hlc_rm::Sds sds[] = {
    {"GEM_ManCal_counts",
     "counts",
     DFNT_UINT8,
     3,
     {0, GEM_CEMS, GEM_SPIN_LEVELS, 0},
     offsetof(Record, counts)},
};

static constexpr hlc_rm::Module mod = {
    .name = "gem_mancal",
    .source = "gem_mancal.cpp",
    .header = "gem_mancal.h",
    .vgroup_name = "VG_GEM_ManCal",
    .vgroup_class = "VG_GEM_MANCAL",
    .record_name = "GEM_ManCal",
    .fields = fields,
    .nfields = sizeof fields / sizeof fields[0],
    .field_list = field_list,
    .sds = sds,
    .nsds = sizeof sds / sizeof sds[0],
    .packed_size = hlc_rm::packed_size_of(fields),
    .text = gem_mancal_text,
    .desc = Vgrp_descrp_GEM_ManCal,
    .desc_size = GEM_MANCAL_DESC_SIZE,
    .vgrp_id = &vgrp_id_gem_mancal,
    .vdata_id = &vdata_id_gem_mancal,
    .sds_id = {&sds_id_gem_mancal1, nullptr, nullptr},
    .recnum_wr = &recnum_wr,
    .recnum_rd = &recnum_rd,
    .session = &session,
};

static_assert(hlc_rm::field_list_matches(fields, field_list));
static_assert(hlc_rm::orders_match(fields));
static_assert(hlc_rm::packed_size_of(fields) == 14);
static_assert(sizeof(Record::counts) == GEM_CEMS * GEM_SPIN_LEVELS);
static_assert(sizeof gem_mancal_text - 1 +
                      hlc_rm::description_length("gem_mancal.h", "VG_GEM_ManCal", "") ==
                  2002,
              "the description text is 2002 characters");
static_assert(2002 < GEM_MANCAL_DESC_SIZE, "the description and its NUL fit the buffer");

extern "C" {
int32 init_cr_gem_mancal(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_cr(mod, f, sd, an, c);
}
int32 init_wr_gem_mancal(int32 f, int32 sd, int32 an, const char *c) {
  return init_cr_gem_mancal(f, sd, an, c);
}
int32 write_gem_mancal(Record r, int32 pos) {
  return hlc_rm::write(mod, &r, pos);
}
void close_wr_gem_mancal(void) {
  hlc_rm::close_wr(mod);
}
int32 init_acc_gem_mancal(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_acc(mod, f, sd, a);
}
int32 init_rd_gem_mancal(int32 f, int32 sd, const char *a) {
  return init_acc_gem_mancal(f, sd, a);
}
int32 read_gem_mancal(Record *r, int32 pos) {
  return hlc_rm::read(mod, r, pos);
}
void close_rd_gem_mancal(void) {
  hlc_rm::close_rd(mod);
}
void rd_Vgrp_desc_gem_mancal(int32 f, int32 an) {
  hlc_rm::rd_desc(mod, f, an);
}
void print_gem_mancal_error(const char *msg) {
  hlc_rm::print_error(mod, msg);
}
void pack_gem_mancal(void *p, const Record *r) {
  hlc_rm::pack(mod, p, r);
}
void unpack_gem_mancal(const void *p, Record *r) {
  hlc_rm::unpack(mod, p, r);
}
int32 get_vgrp_id_gem_mancal(void) {
  return vgrp_id_gem_mancal;
}
int32 wr_Vgrp_desc_gem_mancal(char *buf) {
  return hlc_rm::wr_desc(mod, buf);
}
}
