// GEM housekeeping record module: the table "GEM_Housekeeping" in the Vgroup
// "VG_GEM_Housekeeping". No SDS.
#include "gem_hk_api.h"
#include "record_module.h"

using Record = GEM_Housekeeping;

// The description text is gem_hk.h itself, embedded at build time.
static constexpr char gem_hk_text[] = {
#include "gem_hk_text.inc"
};

extern "C" {
int32 vgrp_id_gem_hk = -1;
char Vgrp_descrp_GEM_Housekeeping[GEM_HK_DESC_SIZE];
}
static int32 vdata_id_gem_hk = -1;
static int32 recnum_rd = -1;
static hlc_rm::Session session;  // open use, and where the next read happens

using namespace hlc_rm::terms;
#define V(f, t, ...) HLC_RM_MEMBER(Record, f, DFNT_##t, nullptr, __VA_ARGS__)
#define D HLC_RM_DIM

// The record's members, in declaration order, with what gem_hk.h says of them.
static constexpr hlc_rm::Entry members[] = {
    {V(sclk_seconds, UINT32), {.long_name = "SCLK seconds", .units = "s"}},
    {V(sclk_subseconds, UINT16), {.long_name = "fractions of SCLK second", .units = "s/65536"}},
    {V(APID_status, UINT16), kHkApidStatus},
    {V(start_level, UINT16),
     {.long_name = "requested start level of voltage specified in the acquire or manual command",
      .comment = "DAC units",
      .valid = kAdc}},
    {V(step_size, UINT16), kHkStepSize},
    {V(set, UINT16, D(GEM_SPIN_LEVELS)),
     {.long_name = "ADC values of ESA voltage DAC readback for the voltage levels 0-4",
      .comment = "DAC units",
      .valid = kAdc}},
    {V(level, UINT16, D(GEM_SPIN_LEVELS)),
     {.long_name = "ADC values of ESA voltage readback for the voltage levels 0-4",
      .comment = "DAC units",
      .valid = kAdc}},
    {V(CEM_set, UINT16), kHkCemSet},
    {V(CEM_level, UINT16), kHkCemLevel},
    {V(AMP_set, UINT16), kHkAmpSet},
    {V(MON_5V, UINT16), {.long_name = "ADC value from 5 volt monitor", .valid = kAdc}},
    {V(MON_12V, UINT16), {.long_name = "ADC value from 12 volt monitor", .valid = kAdc}},
    {V(SW_status, UINT16), HLC_RM_HK_SW_STATUS("GEM", "HV_Enable HV_Limit")},
    {V(CMD_status, UINT16),
     {.long_name = "GEM command status word",
      .comment = HLC_RM_BIT_ORDER_UNCERTAIN "; " HLC_RM_COMMAND_COUNTER
                                            "; AMP_level_stepping (bit 15): 1 when AMP "
                                            "stepping/SET, AMP_SET swapping is in effect",
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
    .name = "gem_hk",
    .source = "gem_hk.cpp",
    .header = "gem_hk.h",
    .vgroup_name = "VG_GEM_Housekeeping",
    .vgroup_class = "VG_GEM_HK",
    .record_name = "GEM_Housekeeping",
    .title = "GEM Housekeeping Data",
    .instrument = "GEM",
    .record_size = sizeof(Record),
    .layout = table.view(),
    .pack = hlc_rm::packer<table>,
    .unpack = hlc_rm::unpacker<table>,
    .field_list = field_list,
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

static_assert(hlc_rm::module_ok(mod, table));
static_assert(table.packed_size == 46);
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
  return hlc_rm::init_wr(mod, init_cr_gem_hk, f, sd, an, c);
}
int32 write_gem_hk(Record r, int32 pos) {
  return hlc_rm::write(mod, &r, pos);
}
int32 flush_wr_gem_hk(void) {
  return hlc_rm::flush_wr(mod);
}
void close_wr_gem_hk(void) {
  hlc_rm::close_wr(mod);
}
int32 init_acc_gem_hk(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_acc(mod, f, sd, a);
}
int32 init_rd_gem_hk(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_rd(mod, init_acc_gem_hk, f, sd, a);
}
int32 read_gem_hk(Record *r, int32 pos) {
  return hlc_rm::read(mod, r, pos);
}
int32 read_block_gem_hk(int32 pos, int32 n, void *const *cols) {
  return hlc_rm::read_block(mod, pos, n, cols);
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

extern "C" constinit const hlc_edr_product hlc_edr_product_gem_hk =
    hlc_rm::describe(mod, HLC_RM_OPERATIONS(gem_hk, Record));
