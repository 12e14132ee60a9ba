// Concentrator housekeeping record module: the table "Concentrator_Housekeeping"
// in the Vgroup "VG_Concentrator_Housekeeping". No SDS.
#include "con_hk_api.h"
#include "record_module.h"

using Record = Concentrator_Housekeeping;

// The description text is con_hk.h itself, embedded at build time.
static const char con_hk_text[] = {
#include "con_hk_text.inc"
};

extern "C" {
int32 vgrp_id_con_hk = -1;
char Vgrp_descrp_Concentrator_Housekeeping[CON_HK_DESC_SIZE];
}
static int32 vdata_id_con_hk = -1;
static int32 recnum_rd = -1;
static hlc_rm::Session session;  // open use, and where the next read happens

#define FIELD(f, t) HLC_RM_FIELD(Record, f, t)

static constexpr hlc_rm::Field fields[] = {
    FIELD(sclk_seconds, DFNT_UINT32),     FIELD(sclk_subseconds, DFNT_UINT16),
    FIELD(APID_status, DFNT_UINT16),      FIELD(elec_req, DFNT_UINT16),
    FIELD(accel_req, DFNT_UINT16),        FIELD(rej_req, DFNT_UINT16),
    FIELD(elec_level, DFNT_UINT16),       FIELD(accel_level, DFNT_UINT16),
    FIELD(rej_level, DFNT_UINT16),        FIELD(elec_set, DFNT_UINT16),
    FIELD(accel_set, DFNT_UINT16),        FIELD(rej_set, DFNT_UINT16),
    FIELD(MON_5V, DFNT_UINT16),           FIELD(MON_12V, DFNT_UINT16),
    FIELD(elec_fault_count, DFNT_UINT16), FIELD(accel_fault_count, DFNT_UINT16),
    FIELD(rej_fault_count, DFNT_UINT16),  FIELD(elec_maximum, DFNT_UINT16),
    FIELD(elec_minimum, DFNT_UINT16),     FIELD(accel_maximum, DFNT_UINT16),
    FIELD(accel_minimum, DFNT_UINT16),    FIELD(rej_maximum, DFNT_UINT16),
    FIELD(rej_minimum, DFNT_UINT16),      FIELD(SW_status, DFNT_UINT16),
    FIELD(CMD_status, DFNT_UINT16),
};
#undef FIELD

static constexpr char field_list[] =
    "sclk_seconds, sclk_subseconds, APID_status, elec_req, accel_req, rej_req, elec_level, "
    "accel_level, rej_level, elec_set, accel_set, rej_set, MON_5V, MON_12V, elec_fault_count, "
    "accel_fault_count, rej_fault_count, elec_maximum, elec_minimum, accel_maximum, "
    "accel_minimum, rej_maximum, rej_minimum, SW_status, CMD_status";

static constexpr hlc_rm::Module mod = {
    .name = "con_hk",
    .source = "con_hk.cpp",
    .header = "con_hk.h",
    .vgroup_name = "VG_Concentrator_Housekeeping",
    .vgroup_class = "VG_CON_HK",
    .record_name = "Concentrator_Housekeeping",
    .fields = fields,
    .nfields = sizeof fields / sizeof fields[0],
    .field_list = field_list,
    .sds = nullptr,
    .nsds = 0,
    .packed_size = hlc_rm::packed_size_of(fields),
    .text = con_hk_text,
    .desc = Vgrp_descrp_Concentrator_Housekeeping,
    .desc_size = CON_HK_DESC_SIZE,
    .vgrp_id = &vgrp_id_con_hk,
    .vdata_id = &vdata_id_con_hk,
    .sds_id = {nullptr, nullptr, nullptr},
    .recnum_wr = nullptr,
    .recnum_rd = &recnum_rd,
    .session = &session,
};

static_assert(hlc_rm::field_list_matches(fields, field_list));
static_assert(hlc_rm::orders_match(fields));
static_assert(hlc_rm::packed_size_of(fields) == 52);
static_assert(sizeof con_hk_text - 1 +
                      hlc_rm::description_length("con_hk.h", "VG_Concentrator_Housekeeping", "") ==
                  4809,
              "the description text is 4809 characters");

extern "C" {
int32 init_cr_con_hk(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_cr(mod, f, sd, an, c);
}
int32 init_wr_con_hk(int32 f, int32 sd, int32 an, const char *c) {
  return init_cr_con_hk(f, sd, an, c);
}
int32 write_con_hk(Record r, int32 pos) {
  return hlc_rm::write(mod, &r, pos);
}
void close_wr_con_hk(void) {
  hlc_rm::close_wr(mod);
}
int32 init_acc_con_hk(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_acc(mod, f, sd, a);
}
int32 init_rd_con_hk(int32 f, int32 sd, const char *a) {
  return init_acc_con_hk(f, sd, a);
}
int32 read_con_hk(Record *r, int32 pos) {
  return hlc_rm::read(mod, r, pos);
}
void close_rd_con_hk(void) {
  hlc_rm::close_rd(mod);
}
void rd_Vgrp_desc_con_hk(int32 f, int32 an) {
  hlc_rm::rd_desc(mod, f, an);
}
void print_con_hk_error(const char *msg) {
  hlc_rm::print_error(mod, msg);
}
void pack_con_hk(void *p, const Record *r) {
  hlc_rm::pack(mod, p, r);
}
void unpack_con_hk(const void *p, Record *r) {
  hlc_rm::unpack(mod, p, r);
}
int32 get_vgrp_id_con_hk(void) {
  return vgrp_id_con_hk;
}
int32 wr_Vgrp_desc_con_hk(char *buf) {
  return hlc_rm::wr_desc(mod, buf);
}
}
