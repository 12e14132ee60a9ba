// GEM housekeeping record module: the table "GEM_Housekeeping" in the Vgroup
// "VG_GEM_Housekeeping". No SDS.
#include "gem_hk_api.h"
#include "record_module.h"

using Record = GEM_Housekeeping;

// The description text is gem_hk.h itself, embedded at build time.
static const char gem_hk_text[] = {
#include "gem_hk_text.inc"
};

extern "C" {
int32 vgrp_id_gem_hk = -1;
char Vgrp_descrp_GEM_Housekeeping[GEM_HK_DESC_SIZE];
}
static int32 vdata_id_gem_hk = -1;
static int32 recnum_rd = -1;
static hlc_rm::Session session;  // open use, and where the next read happens

#define FIELD(f, t) HLC_RM_FIELD(Record, f, t)

static constexpr hlc_rm::Field fields[] = {
    FIELD(sclk_seconds, DFNT_UINT32), FIELD(sclk_subseconds, DFNT_UINT16),
    FIELD(APID_status, DFNT_UINT16),  FIELD(start_level, DFNT_UINT16),
    FIELD(step_size, DFNT_UINT16),    FIELD(set, DFNT_UINT16),
    FIELD(level, DFNT_UINT16),        FIELD(CEM_set, DFNT_UINT16),
    FIELD(CEM_level, DFNT_UINT16),    FIELD(AMP_set, DFNT_UINT16),
    FIELD(MON_5V, DFNT_UINT16),       FIELD(MON_12V, DFNT_UINT16),
    FIELD(SW_status, DFNT_UINT16),    FIELD(CMD_status, DFNT_UINT16),
};
#undef FIELD

static constexpr char field_list[] =
    "sclk_seconds, sclk_subseconds, APID_status, start_level, step_size, set, level, CEM_set, "
    "CEM_level, AMP_set, MON_5V, MON_12V, SW_status, CMD_status";

static constexpr hlc_rm::Module mod = {
    .name = "gem_hk",
    .source = "gem_hk.cpp",
    .header = "gem_hk.h",
    .vgroup_name = "VG_GEM_Housekeeping",
    .vgroup_class = "VG_GEM_HK",
    .record_name = "GEM_Housekeeping",
    .fields = fields,
    .nfields = sizeof fields / sizeof fields[0],
    .field_list = field_list,
    .sds = nullptr,
    .nsds = 0,
    .packed_size = hlc_rm::packed_size_of(fields),
    .text = gem_hk_text,
    .desc = Vgrp_descrp_GEM_Housekeeping,
    .desc_size = GEM_HK_DESC_SIZE,
    .vgrp_id = &vgrp_id_gem_hk,
    .vdata_id = &vdata_id_gem_hk,
    .sds_id = {nullptr, nullptr, nullptr},
    .recnum_wr = nullptr,
    .recnum_rd = &recnum_rd,
    .session = &session,
};

static_assert(hlc_rm::field_list_matches(fields, field_list));
static_assert(hlc_rm::orders_match(fields));
static_assert(hlc_rm::packed_size_of(fields) == 46);
static_assert(sizeof gem_hk_text - 1 +
                      hlc_rm::description_length("gem_hk.h", "VG_GEM_Housekeeping", "") ==
                  3740,
              "the description text is 3740 characters");
static_assert(3740 < GEM_HK_DESC_SIZE, "the description and its NUL fit the buffer");

extern "C" {
int32 init_cr_gem_hk(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_cr(mod, f, sd, an, c);
}
int32 init_wr_gem_hk(int32 f, int32 sd, int32 an, const char *c) {
  return init_cr_gem_hk(f, sd, an, c);
}
int32 write_gem_hk(Record r, int32 pos) {
  return hlc_rm::write(mod, &r, pos);
}
void close_wr_gem_hk(void) {
  hlc_rm::close_wr(mod);
}
int32 init_acc_gem_hk(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_acc(mod, f, sd, a);
}
int32 init_rd_gem_hk(int32 f, int32 sd, const char *a) {
  return init_acc_gem_hk(f, sd, a);
}
int32 read_gem_hk(Record *r, int32 pos) {
  return hlc_rm::read(mod, r, pos);
}
void close_rd_gem_hk(void) {
  hlc_rm::close_rd(mod);
}
void rd_Vgrp_desc_gem_hk(int32 f, int32 an) {
  hlc_rm::rd_desc(mod, f, an);
}
void print_gem_hk_error(const char *msg) {
  hlc_rm::print_error(mod, msg);
}
void pack_gem_hk(void *p, const Record *r) {
  hlc_rm::pack(mod, p, r);
}
void unpack_gem_hk(const void *p, Record *r) {
  hlc_rm::unpack(mod, p, r);
}
int32 get_vgrp_id_gem_hk(void) {
  return vgrp_id_gem_hk;
}
int32 wr_Vgrp_desc_gem_hk(char *buf) {
  return hlc_rm::wr_desc(mod, buf);
}
}
