// GIM housekeeping record module: the table "GIM_Housekeeping" in the Vgroup
// "VG_GIM_Housekeeping". No SDS.
#include "gim_hk_api.h"
#include "record_module.h"

using Record = GIM_Housekeeping;

// The description text is gim_hk.h itself, embedded at build time.
static constexpr char gim_hk_text[] = {
#include "gim_hk_text.inc"
};

extern "C" {
int32 vgrp_id_gim_hk = -1;
char Vgrp_descrp_GIM_Housekeeping[GIM_HK_DESC_SIZE];
}
static int32 vdata_id_gim_hk = -1;
static int32 recnum_rd = -1;
static hlc_rm::Session session;  // open use, and where the next read happens

using namespace hlc_rm::terms;
#define V(f, t, ...) HLC_RM_MEMBER(Record, f, DFNT_##t, nullptr, __VA_ARGS__)
#define D HLC_RM_DIM

// The record's members, in declaration order, with what gim_hk.h says of them.
static constexpr hlc_rm::Entry members[] = {
    {V(sclk_seconds, UINT32), {.long_name = "SCLK seconds", .units = "s"}},
    {V(sclk_subseconds, UINT16), {.long_name = "fractions of SCLK second", .units = "s/65536"}},
    {V(APID_status, UINT16), kHkApidStatus},
    {V(start_level, UINT16),
     {.long_name =
          "requested start level of the voltage specified in the acquire or manual command",
      .comment = "DAC units",
      .valid = kAdc}},
    {V(step_size, UINT16), kHkStepSize},
    {V(set, UINT16, D(GIM_SPIN_LEVELS)),
     {.long_name = "ADC values of ESA voltage DAC readback for the voltage levels 0-9",
      .comment = "DAC units",
      .valid = kAdc}},
    {V(level, UINT16, D(GIM_SPIN_LEVELS)),
     {.long_name = "ADC values of ESA voltage readback for the voltage levels 0-9",
      .comment = "DAC units",
      .valid = kAdc}},
    {V(CEM_set, UINT16), kHkCemSet},
    {V(CEM_level, UINT16), kHkCemLevel},
    {V(AMP_set, UINT16), kHkAmpSet},
    {V(MON_5V, UINT16), {.long_name = "ADC value of 5 volt monitor", .valid = kAdc}},
    {V(MON_12V, UINT16), {.long_name = "ADC value of 12 volt monitor", .valid = kAdc}},
    {V(SW_status, UINT16), HLC_RM_HK_SW_STATUS("GIM", "HV_ENABLE HV_LIMIT")},
    {V(CMD_status, UINT16),
     {.long_name = "GIM command status word",
      .comment = HLC_RM_BIT_ORDER_UNCERTAIN "; " HLC_RM_COMMAND_COUNTER
                                            "; bits 10-14: reserved, 0; AMP_level_stepping "
                                            "(bit 15): 1 when AMP stepping/SET, AMP_SET "
                                            "swapping is in effect",
      .flags = {{bit(8), bit(9), bit(15)},
                "CMD_Status_Bad_Command_Flag CMD_Status_Bad_Parameter_Flag AMP_level_stepping"}}},
};
#undef V
#undef D
static constexpr auto table = hlc_rm::layout(members);

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
    .title = "GIM Housekeeping Data",
    .instrument = "GIM",
    .record_size = sizeof(Record),
    .layout = table.view(),
    .pack = hlc_rm::packer<table>,
    .unpack = hlc_rm::unpacker<table>,
    .field_list = field_list,
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

static_assert(hlc_rm::module_ok(mod, table));
static_assert(table.packed_size == 66);
static_assert(sizeof gim_hk_text - 1 +
                      hlc_rm::description_length("gim_hk.h", "VG_GIM_Housekeeping", "") ==
                  3921,
              "the description text is 3921 characters, within its 4389-byte buffer");

extern "C" {
int32 init_cr_gim_hk(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_cr(mod, f, sd, an, c);
}
int32 init_wr_gim_hk(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_wr(mod, init_cr_gim_hk, f, sd, an, c);
}
int32 write_gim_hk(Record r, int32 pos) {
  return hlc_rm::write(mod, &r, pos);
}
int32 flush_wr_gim_hk(void) {
  return hlc_rm::flush_wr(mod);
}
void close_wr_gim_hk(void) {
  hlc_rm::close_wr(mod);
}
int32 init_acc_gim_hk(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_acc(mod, f, sd, a);
}
int32 init_rd_gim_hk(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_rd(mod, init_acc_gim_hk, f, sd, a);
}
int32 read_gim_hk(Record *r, int32 pos) {
  return hlc_rm::read(mod, r, pos);
}
int32 read_block_gim_hk(int32 pos, int32 n, void *const *cols) {
  return hlc_rm::read_block(mod, pos, n, cols);
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

extern "C" constinit const hlc_edr_product hlc_edr_product_gim_hk =
    hlc_rm::describe(mod, HLC_RM_OPERATIONS(gim_hk, Record));
