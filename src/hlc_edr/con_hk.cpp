// Concentrator housekeeping record module: the table "Concentrator_Housekeeping"
// in the Vgroup "VG_Concentrator_Housekeeping". No SDS.
#include "con_hk_api.h"
#include "record_module.h"

using Record = Concentrator_Housekeeping;

// The description text is con_hk.h itself, embedded at build time.
static constexpr char con_hk_text[] = {
#include "con_hk_text.inc"
};

extern "C" {
int32 vgrp_id_con_hk = -1;
char Vgrp_descrp_Concentrator_Housekeeping[CON_HK_DESC_SIZE];
}
static int32 vdata_id_con_hk = -1;
static int32 recnum_rd = -1;
static hlc_rm::Session session;  // open use, and where the next read happens

using namespace hlc_rm::terms;
#define V(f, t, ...) HLC_RM_MEMBER(Record, f, DFNT_##t, nullptr, __VA_ARGS__)

// The record's members, in declaration order, with what con_hk.h says of them.
static constexpr hlc_rm::Entry members[] = {
    {V(sclk_seconds, UINT32), {.long_name = "SCLK seconds of the record", .units = "s"}},
    {V(sclk_subseconds, UINT16), {.long_name = "fractions of SCLK second", .units = "s/65536"}},
    {V(APID_status, UINT16),
     {.long_name = "APID status word",
      .comment = HLC_RM_BIT_ORDER_UNCERTAIN,
      .flags = {{bit(0), bit(1), HLC_RM_STATES4(2)},
                "Checksum_Error_Occ_Indication Sample_Mode COLLECTION_TYPE_0 COLLECTION_TYPE_1 "
                "COLLECTION_TYPE_2 COLLECTION_TYPE_3"}}},
    {V(elec_req, UINT16),
     {.long_name = "electrode voltage requested", .comment = "from last config command sent"}},
    {V(accel_req, UINT16),
     {.long_name = "acceleration voltage requested", .comment = "from last config command sent"}},
    {V(rej_req, UINT16),
     {.long_name = "rejection voltage requested", .comment = "from last config command sent"}},
    {V(elec_level, UINT16),
     {.long_name = "ADC value of electrode voltage readback", .valid = kAdc}},
    {V(accel_level, UINT16),
     {.long_name = "ADC value of acceleration voltage readback", .valid = kAdc}},
    {V(rej_level, UINT16), {.long_name = "ADC value of rejection voltage readback", .valid = kAdc}},
    {V(elec_set, UINT16),
     {.long_name = "ADC value of electrode voltage DAC readback", .valid = kAdc}},
    {V(accel_set, UINT16),
     {.long_name = "ADC value of acceleration voltage DAC readback", .valid = kAdc}},
    {V(rej_set, UINT16),
     {.long_name = "ADC value of rejection voltage DAC readback", .valid = kAdc}},
    {V(MON_5V, UINT16), {.long_name = "ADC value from 5 volt monitor", .valid = kAdc}},
    {V(MON_12V, UINT16), {.long_name = "ADC value from 12 volt monitor", .valid = kAdc}},
    {V(elec_fault_count, UINT16),
     {.long_name = "count of electrode voltage errors since last report",
      .valid = range(0, 65535)}},
    {V(accel_fault_count, UINT16),
     {.long_name = "count of acceleration voltage errors since last report",
      .valid = range(0, 65535)}},
    {V(rej_fault_count, UINT16),
     {.long_name = "count of rejection voltage errors since last report",
      .valid = range(0, 65535)}},
    {V(elec_maximum, UINT16),
     {.long_name = "maximum electrode voltage readback since last report",
      .comment = "ADC value",
      .valid = kAdc}},
    {V(elec_minimum, UINT16),
     {.long_name = "minimum electrode voltage readback since last report",
      .comment = "ADC value",
      .valid = kAdc}},
    {V(accel_maximum, UINT16),
     {.long_name = "maximum acceleration voltage readback since last report",
      .comment = "ADC value",
      .valid = kAdc}},
    {V(accel_minimum, UINT16),
     {.long_name = "minimum acceleration voltage readback since last report",
      .comment = "ADC value",
      .valid = kAdc}},
    {V(rej_maximum, UINT16),
     {.long_name = "maximum rejection voltage readback since last report",
      .comment = "ADC value",
      .valid = kAdc}},
    {V(rej_minimum, UINT16),
     {.long_name = "minimum rejection voltage readback since last report",
      .comment = "ADC value",
      .valid = kAdc}},
    {V(SW_status, UINT16),
     {.long_name = "Concentrator software status word",
      .comment = HLC_RM_BIT_ORDER_UNCERTAIN,
      .flags = {{bit(0), bit(1), bit(2), bit(3), bit(4), bit(5), bit(6), bit(7), bit(8), bit(9)},
                "HV_ENABLE HV_ENABLE_LIMIT RAM_TEST ROM_TEST INTERUPT_TEST TIMING_TEST DAC1_TEST "
                "DAC2_TEST DAC3_TEST PROCESSOR_RESET"}}},
    {V(CMD_status, UINT16),
     {.long_name = "Concentrator command status word",
      .comment = HLC_RM_BIT_ORDER_UNCERTAIN "; " HLC_RM_COMMAND_COUNTER,
      .flags = {{bit(8), bit(9)}, "CMD_Status_Bad_Command_Flag CMD_Status_Bad_Parameter_Flag"}}},
};
#undef V
static constexpr auto table = hlc_rm::layout(members);

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
    .title = "Concentrator Housekeeping Data",
    .instrument = "Concentrator",
    .record_size = sizeof(Record),
    .layout = table.view(),
    .pack = hlc_rm::packer<table>,
    .unpack = hlc_rm::unpacker<table>,
    .field_list = field_list,
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

static_assert(hlc_rm::module_ok(mod, table));
static_assert(table.packed_size == 52);
static_assert(sizeof con_hk_text - 1 +
                      hlc_rm::description_length("con_hk.h", "VG_Concentrator_Housekeeping", "") ==
                  4809,
              "the description text is 4809 characters");

extern "C" {
int32 init_cr_con_hk(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_cr(mod, f, sd, an, c);
}
int32 init_wr_con_hk(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_wr(mod, init_cr_con_hk, f, sd, an, c);
}
int32 write_con_hk(Record r, int32 pos) {
  return hlc_rm::write(mod, &r, pos);
}
int32 flush_wr_con_hk(void) {
  return hlc_rm::flush_wr(mod);
}
void close_wr_con_hk(void) {
  hlc_rm::close_wr(mod);
}
int32 init_acc_con_hk(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_acc(mod, f, sd, a);
}
int32 init_rd_con_hk(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_rd(mod, init_acc_con_hk, f, sd, a);
}
int32 read_con_hk(Record *r, int32 pos) {
  return hlc_rm::read(mod, r, pos);
}
int32 read_block_con_hk(int32 pos, int32 n, void *const *cols) {
  return hlc_rm::read_block(mod, pos, n, cols);
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

extern "C" constinit const hlc_edr_product hlc_edr_product_con_hk =
    hlc_rm::describe(mod, HLC_RM_OPERATIONS(con_hk, Record));
