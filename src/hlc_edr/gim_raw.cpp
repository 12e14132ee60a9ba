// GIM raw record module: the table "GIM_Raw" in the Vgroup "VG_GIM_Raw", with
// the SDS "GIM_Raw_ESA_set", "GIM_Raw_ESA_level" and "GIM_Raw_counts".
#include "gim_raw_api.h"
#include "record_module.h"

using Record = GIM_Raw;

// The description text is gim_raw.h itself, embedded at build time.
static constexpr char gim_raw_text[] = {
#include "gim_raw_text.inc"
};

extern "C" {
int32 vgrp_id_gim_raw = -1;
char Vgrp_descrp_GIM_Raw[GIM_RAW_DESC_SIZE];
}
static int32 vdata_id_gim_raw = -1;
static int32 sds_id_gim_raw1 = -1;
static int32 sds_id_gim_raw2 = -1;
static int32 sds_id_gim_raw3 = -1;
static int32 recnum_wr = 0;
static int32 recnum_rd = -1;
static hlc_rm::Session session;  // open use, and where the next read happens

using namespace hlc_rm::terms;
#define V(f, t, ...) HLC_RM_MEMBER(Record, f, DFNT_##t, nullptr, __VA_ARGS__)
#define S(f, t, ...) HLC_RM_MEMBER(Record, f, DFNT_##t, "GIM_Raw_" #f, __VA_ARGS__)
#define D HLC_RM_DIM

// The record's members, in declaration order, with what gim_raw.h says of them.
static constexpr hlc_rm::Entry members[] = {
    {V(sclk_seconds, UINT32), {.long_name = "SCLK seconds of spin start", .units = "s"}},
    {V(sclk_subseconds, UINT16),
     {.long_name = "fractions of SCLK second of spin start", .units = "s/65536"}},
    {V(start_req, UINT16, D(GIM_AZIMUTH_SECTORS)),
     {.long_name = "for each sector, requested start level of voltage specified in acquire or "
                   "manual command",
      .comment = "DAC units",
      .valid = kAdc}},
    {V(step_size, UINT16, D(GIM_AZIMUTH_SECTORS)),
     {.long_name = "for each sector, voltage level step size specified in command",
      .units = "0.001 %",
      .comment = "0 for manual acquisition; the record header writes the unit as \"00.001 "
                 "percent\""}},
    {V(step_time, UINT16, D(GIM_AZIMUTH_SECTORS)),
     {.long_name = "for each sector, step time specified in command", .units = "1e-7 s"}},
    {V(angle, UINT16, D(GIM_AZIMUTH_SECTORS)),
     {.long_name = "for each sector, sequence number implying angular position of data set"}},
    {S(ESA_set, UINT16, D(GIM_AZIMUTH_SECTORS), D(GIM_SPIN_LEVELS)),
     {.long_name = "ADC value of ESA voltage DAC readback for each sector and voltage level",
      .valid = kAdc}},
    {S(ESA_level, UINT16, D(GIM_AZIMUTH_SECTORS), D(GIM_SPIN_LEVELS)),
     {.long_name = "ADC value of ESA voltage readback for each sector and voltage level",
      .valid = kAdc}},
    {S(counts, UINT16, D(GIM_AZIMUTH_SECTORS), D(GIM_SPIN_LEVELS), D(GIM_CEMS)),
     {.long_name = "CEM counts for each sector, voltage level and CEM",
      .comment = kAsReceived,
      .valid = range(0, 65535)}},
};
#undef V
#undef S
#undef D
static constexpr auto table = hlc_rm::layout(members);

static constexpr char field_list[] =
    "sclk_seconds, sclk_subseconds, start_req, step_size, step_time, angle";

static constexpr hlc_rm::Module mod = {
    .name = "gim_raw",
    .source = "gim_raw.cpp",
    .header = "gim_raw.h",
    .vgroup_name = "VG_GIM_Raw",
    .vgroup_class = "VG_GIM_RAW",
    .record_name = "GIM_Raw",
    .title = "GIM Raw Count Data",
    .instrument = "GIM",
    .record_size = sizeof(Record),
    .layout = table.view(),
    .pack = hlc_rm::packer<table>,
    .unpack = hlc_rm::unpacker<table>,
    .field_list = field_list,
    .text = gim_raw_text,
    .desc = Vgrp_descrp_GIM_Raw,
    .desc_size = GIM_RAW_DESC_SIZE,
    .vgrp_id = &vgrp_id_gim_raw,
    .vdata_id = &vdata_id_gim_raw,
    .sds_id = {&sds_id_gim_raw1, &sds_id_gim_raw2, &sds_id_gim_raw3},
    .recnum_wr = &recnum_wr,
    .recnum_rd = &recnum_rd,
    .session = &session,
};

static_assert(hlc_rm::module_ok(mod, table));
static_assert(table.packed_size == 326);
static_assert(sizeof gim_raw_text - 1 + hlc_rm::description_length("gim_raw.h", "VG_GIM_Raw", "") ==
                  2118,
              "the description text is 2118 characters, within its 2333-byte buffer");

extern "C" {
int32 init_cr_gim_raw(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_cr(mod, f, sd, an, c);
}
int32 init_wr_gim_raw(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_wr(mod, init_cr_gim_raw, f, sd, an, c);
}
int32 write_gim_raw(Record r, int32 pos) {
  return hlc_rm::write(mod, &r, pos);
}
int32 flush_wr_gim_raw(void) {
  return hlc_rm::flush_wr(mod);
}
void close_wr_gim_raw(void) {
  hlc_rm::close_wr(mod);
}
int32 init_acc_gim_raw(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_acc(mod, f, sd, a);
}
int32 init_rd_gim_raw(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_rd(mod, init_acc_gim_raw, f, sd, a);
}
int32 read_gim_raw(Record *r, int32 pos) {
  return hlc_rm::read(mod, r, pos);
}
int32 read_block_gim_raw(int32 pos, int32 n, void *const *cols) {
  return hlc_rm::read_block(mod, pos, n, cols);
}
void close_rd_gim_raw(void) {
  hlc_rm::close_rd(mod);
}
void rd_Vgrp_desc_gim_raw(int32 f, int32 an) {
  hlc_rm::rd_desc(mod, f, an);
}
void print_gim_raw_error(const char *msg) {
  hlc_rm::print_error(mod, msg);
}
void pack_gim_raw(void *p, const Record *r) {
  hlc_rm::pack(mod, p, r);
}
void unpack_gim_raw(const void *p, Record *r) {
  hlc_rm::unpack(mod, p, r);
}
int32 get_vgrp_id_gim_raw(void) {
  return vgrp_id_gim_raw;
}
int32 wr_Vgrp_desc_gim_raw(char *buf) {
  return hlc_rm::wr_desc(mod, buf);
}
}

extern "C" constinit const hlc_edr_product hlc_edr_product_gim_raw =
    hlc_rm::describe(mod, HLC_RM_OPERATIONS(gim_raw, Record));
