// GIM housekeeping record module: the table "GIM_Housekeeping" in the Vgroup
// "VG_GIM_Housekeeping". No SDS.
#include "gim_hk_api.h"
#include "record_module.h"

using Record = GIM_Housekeeping;

// The description text is gim_hk.h itself, embedded at build time.
static const char gim_hk_text[] = {
#include "gim_hk_text.inc"
};

extern "C" {
int32 vgrp_id_gim_hk = -1;
char Vgrp_descrp_GIM_Housekeeping[GIM_HK_DESC_SIZE];
}
static int32 vdata_id_gim_hk = -1;
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
    .name = "gim_hk",
    .source = "gim_hk.cpp",
    .header = "gim_hk.h",
    .vgroup_name = "VG_GIM_Housekeeping",
    .vgroup_class = "VG_GIM_HK",
    .record_name = "GIM_Housekeeping",
    .fields = fields,
    .nfields = sizeof fields / sizeof fields[0],
    .field_list = field_list,
    .sds = nullptr,
    .nsds = 0,
    .packed_size = hlc_rm::packed_size_of(fields),
    .text = gim_hk_text,
    .desc = Vgrp_descrp_GIM_Housekeeping,
    .desc_size = GIM_HK_DESC_SIZE,
    .vgrp_id = &vgrp_id_gim_hk,
    .vdata_id = &vdata_id_gim_hk,
    .sds_id = {nullptr, nullptr, nullptr},
    .recnum_wr = nullptr,
    .recnum_rd = &recnum_rd,
    .session = &session,
};

static_assert(hlc_rm::field_list_matches(fields, field_list));
static_assert(hlc_rm::orders_match(fields));
static_assert(hlc_rm::packed_size_of(fields) == 66);
static_assert(sizeof gim_hk_text - 1 +
                      hlc_rm::description_length("gim_hk.h", "VG_GIM_Housekeeping", "") ==
                  3921,
              "the description text is 3921 characters, within its 4389-byte buffer");

extern "C" {
int32 init_cr_gim_hk(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_cr(mod, f, sd, an, c);
}
int32 init_wr_gim_hk(int32 f, int32 sd, int32 an, const char *c) {
  return init_cr_gim_hk(f, sd, an, c);
}
int32 write_gim_hk(Record r, int32 pos) {
  return hlc_rm::write(mod, &r, pos);
}
void close_wr_gim_hk(void) {
  hlc_rm::close_wr(mod);
}
int32 init_acc_gim_hk(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_acc(mod, f, sd, a);
}
int32 init_rd_gim_hk(int32 f, int32 sd, const char *a) {
  return init_acc_gim_hk(f, sd, a);
}
int32 read_gim_hk(Record *r, int32 pos) {
  return hlc_rm::read(mod, r, pos);
}
void close_rd_gim_hk(void) {
  hlc_rm::close_rd(mod);
}
void rd_Vgrp_desc_gim_hk(int32 f, int32 an) {
  hlc_rm::rd_desc(mod, f, an);
}
void print_gim_hk_error(const char *msg) {
  hlc_rm::print_error(mod, msg);
}
void pack_gim_hk(void *p, const Record *r) {
  hlc_rm::pack(mod, p, r);
}
void unpack_gim_hk(const void *p, Record *r) {
  hlc_rm::unpack(mod, p, r);
}
int32 get_vgrp_id_gim_hk(void) {
  return vgrp_id_gim_hk;
}
int32 wr_Vgrp_desc_gim_hk(char *buf) {
  return hlc_rm::wr_desc(mod, buf);
}
}
