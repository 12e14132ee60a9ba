// GIM diagnostic record module: the table "GIM_Diagnostic" in the Vgroup
// "VG_GIM_Diagnostic", with the SDS "GIM_Diagnostic_counts".
#include "gim_diag_api.h"
#include "record_module.h"

using Record = GIM_Diagnostic;

// The description text is gim_diag.h itself, embedded at build time.
static constexpr char gim_diag_text[] = {
#include "gim_diag_text.inc"
};

extern "C" {
int32 vgrp_id_gim_diag = -1;
char Vgrp_descrp_GIM_Diagnostic[GIM_DIAG_DESC_SIZE];
}
static int32 vdata_id_gim_diag = -1;
static int32 sds_id_gim_diag1 = -1;
static int32 recnum_wr = 0;
static int32 recnum_rd = -1;
static hlc_rm::Session session;  // open use, and where the next read happens

using namespace hlc_rm::terms;
#define V(f, t, ...) HLC_RM_MEMBER(Record, f, DFNT_##t, nullptr, __VA_ARGS__)
#define S(f, t, ...) HLC_RM_MEMBER(Record, f, DFNT_##t, "GIM_Diagnostic_" #f, __VA_ARGS__)
#define D HLC_RM_DIM

// The record's members, in declaration order, with what gim_diag.h says of them.
static constexpr hlc_rm::Entry members[] = {
    {V(APID_status, UINT16), kGimCycleApidStatus},
    {V(sclk_seconds, UINT32, D(GIM_SPINS)),
     {.long_name = "SCLK seconds of start of spins 1 to 4", .units = "s"}},
    {V(sclk_subseconds, UINT16, D(GIM_SPINS)),
     {.long_name = "fractions of SCLK second of start of spins 1 to 4", .units = "s/65536"}},
    {V(step_time, UINT16, D(GIM_SPINS)),
     {.long_name = "for each spin, step time specified in command", .units = "1e-7 s"}},
    {V(level, UINT16, D(GIM_SPINS)),
     {.long_name = "for each spin, ESA voltage readback ADC value for voltage level",
      .comment = "DAC units",
      .valid = kAdc}},
    {V(step_size, UINT16, D(GIM_SPINS)),
     {.long_name = "for each spin, voltage level step size specified in command",
      .units = "0.01 %"}},
    {V(integ_time, UINT16), kIntegTime},
    {V(settle_time, UINT16), kSettleTime},
    {V(ESA_level, UINT16, D(GIM_CYCLE_LEVELS)), kCycleEsaLevels},
    {S(counts, UINT8, D(GIM_AZIMUTH_SECTORS), D(GIM_CEMS), D(GIM_CYCLE_LEVELS)),
     {.long_name = "CEM counts for each sector, CEM and level", .comment = kAsReceived}},
};
#undef V
#undef S
#undef D
static constexpr auto table = hlc_rm::layout(members);

static constexpr char field_list[] =
    "APID_status, sclk_seconds, sclk_subseconds, step_time, level, step_size, integ_time, "
    "settle_time, ESA_level";

static constexpr hlc_rm::Module mod = {
    .name = "gim_diag",
    .source = "gim_diag.cpp",
    .header = "gim_diag.h",
    .vgroup_name = "VG_GIM_Diagnostic",
    .vgroup_class = "VG_GIM_DIAG",
    .record_name = "GIM_Diagnostic",
    .title = "GIM Diagnostic Mode Data",
    .instrument = "GIM",
    .record_size = sizeof(Record),
    .layout = table.view(),
    .pack = hlc_rm::packer<table>,
    .unpack = hlc_rm::unpacker<table>,
    .field_list = field_list,
    .text = gim_diag_text,
    .desc = Vgrp_descrp_GIM_Diagnostic,
    .desc_size = GIM_DIAG_DESC_SIZE,
    .vgrp_id = &vgrp_id_gim_diag,
    .vdata_id = &vdata_id_gim_diag,
    .sds_id = {&sds_id_gim_diag1, nullptr, nullptr},
    .recnum_wr = &recnum_wr,
    .recnum_rd = &recnum_rd,
    .session = &session,
};

static_assert(hlc_rm::module_ok(mod, table));
static_assert(table.packed_size == 134);
static_assert(sizeof gim_diag_text - 1 +
                      hlc_rm::description_length("gim_diag.h", "VG_GIM_Diagnostic", "") ==
                  2678,
              "the description text is 2678 characters, within its 2701-byte buffer");

extern "C" {
int32 init_cr_gim_diag(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_cr(mod, f, sd, an, c);
}
int32 init_wr_gim_diag(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_wr(mod, init_cr_gim_diag, f, sd, an, c);
}
int32 write_gim_diag(Record r, int32 pos) {
  return hlc_rm::write(mod, &r, pos);
}
int32 flush_wr_gim_diag(void) {
  return hlc_rm::flush_wr(mod);
}
void close_wr_gim_diag(void) {
  hlc_rm::close_wr(mod);
}
int32 init_acc_gim_diag(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_acc(mod, f, sd, a);
}
int32 init_rd_gim_diag(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_rd(mod, init_acc_gim_diag, f, sd, a);
}
int32 read_gim_diag(Record *r, int32 pos) {
  return hlc_rm::read(mod, r, pos);
}
int32 read_block_gim_diag(int32 pos, int32 n, void *const *cols) {
  return hlc_rm::read_block(mod, pos, n, cols);
}
void close_rd_gim_diag(void) {
  hlc_rm::close_rd(mod);
}
void rd_Vgrp_desc_gim_diag(int32 f, int32 an) {
  hlc_rm::rd_desc(mod, f, an);
}
void print_gim_diag_error(const char *msg) {
  hlc_rm::print_error(mod, msg);
}
void pack_gim_diag(void *p, const Record *r) {
  hlc_rm::pack(mod, p, r);
}
void unpack_gim_diag(const void *p, Record *r) {
  hlc_rm::unpack(mod, p, r);
}
int32 get_vgrp_id_gim_diag(void) {
  return vgrp_id_gim_diag;
}
int32 wr_Vgrp_desc_gim_diag(char *buf) {
  return hlc_rm::wr_desc(mod, buf);
}
}

extern "C" constinit const hlc_edr_product hlc_edr_product_gim_diag =
    hlc_rm::describe(mod, HLC_RM_OPERATIONS(gim_diag, Record));
