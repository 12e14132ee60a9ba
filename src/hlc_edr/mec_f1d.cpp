// MEC/WIND F1D ion distribution record module: the table "MEC_f1d" in the
// Vgroup "VG_MEC_f1d". The distribution is a field of the table; no SDS.
//
// The record structure has two bytes of padding after sclk_subseconds; the
// packed record has none: the 40 values follow sclk_subseconds directly, at
// byte 6 of its 166 bytes.
//
// This source is also built on its own into the object mec_f1d.o, which
// programs link with HDF4 alone.
#include "mec_f1d_api.h"
#include "record_module.h"

using Record = MEC_f1d;

// The description text is mec_f1d.h itself, embedded at build time.
static constexpr char mec_f1d_text[] = {
#include "mec_f1d_text.inc"
};

extern "C" {
int32 vgrp_id_mec_f1d = -1;
char Vgrp_descrp_MEC_f1d[MEC_F1D_DESC_SIZE];
}
static int32 vdata_id_mec_f1d = -1;
static int32 recnum_rd = -1;
static hlc_rm::Session session;  // open use, and where the next read happens

using namespace hlc_rm::terms;
#define V(f, t, ...) HLC_RM_MEMBER(Record, f, DFNT_##t, nullptr, __VA_ARGS__)
#define D HLC_RM_DIM

// The record's members, in declaration order, with what mec_f1d.h says of them.
static constexpr hlc_rm::Entry members[] = {
    {V(sclk_seconds, UINT32), {.long_name = "S/C time at start of data cycle", .units = "s"}},
    {V(sclk_subseconds, UINT16),
     {.long_name = "S/C time at start of data cycle, fractions of SCLK second",
      .units = "s/65536"}},
    {V(f1d_ion_distr, FLOAT32, D(MEC_F1D_ELEMENTS)),
     {.long_name = "WIND F1D ion distribution array"}},
};
#undef V
#undef D
static constexpr auto table = hlc_rm::layout(members);

static constexpr char field_list[] = "sclk_seconds, sclk_subseconds, f1d_ion_distr";

static constexpr hlc_rm::Module mod = {
    .name = "mec_f1d",
    .source = "mec_f1d.cpp",
    .header = "mec_f1d.h",
    .vgroup_name = "VG_MEC_f1d",
    .vgroup_class = "VG_MEC_F1D",
    .record_name = "MEC_f1d",
    .title = "WIND F1D Data",
    .instrument = "MEC",
    .record_size = sizeof(Record),
    .layout = table.view(),
    .pack = hlc_rm::packer<table>,
    .unpack = hlc_rm::unpacker<table>,
    .field_list = field_list,
    .text = mec_f1d_text,
    .desc = Vgrp_descrp_MEC_f1d,
    .desc_size = MEC_F1D_DESC_SIZE,
    .vgrp_id = &vgrp_id_mec_f1d,
    .vdata_id = &vdata_id_mec_f1d,
    .sds_id = {nullptr, nullptr, nullptr},
    .recnum_wr = nullptr,
    .recnum_rd = &recnum_rd,
    .session = &session,
};

static_assert(hlc_rm::module_ok(mod, table));
static_assert(table.packed_size == 166);
static_assert(sizeof mec_f1d_text - 1 + hlc_rm::description_length("mec_f1d.h", "VG_MEC_f1d", "") ==
                  756,
              "the description text is 756 characters");
static_assert(756 < MEC_F1D_DESC_SIZE, "the text and its NUL fit the description buffer");

extern "C" {
int32 init_cr_mec_f1d(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_cr(mod, f, sd, an, c);
}
int32 init_wr_mec_f1d(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_wr(mod, init_cr_mec_f1d, f, sd, an, c);
}
int32 write_mec_f1d(Record r, int32 pos) {
  return hlc_rm::write(mod, &r, pos);
}
int32 flush_wr_mec_f1d(void) {
  return hlc_rm::flush_wr(mod);
}
void close_wr_mec_f1d(void) {
  hlc_rm::close_wr(mod);
}
int32 init_acc_mec_f1d(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_acc(mod, f, sd, a);
}
int32 init_rd_mec_f1d(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_rd(mod, init_acc_mec_f1d, f, sd, a);
}
int32 read_mec_f1d(Record *r, int32 pos) {
  return hlc_rm::read(mod, r, pos);
}
int32 read_block_mec_f1d(int32 pos, int32 n, void *const *cols) {
  return hlc_rm::read_block(mod, pos, n, cols);
}
void close_rd_mec_f1d(void) {
  hlc_rm::close_rd(mod);
}
void rd_Vgrp_desc_mec_f1d(int32 f, int32 an) {
  hlc_rm::rd_desc(mod, f, an);
}
void print_mec_f1d_error(const char *msg) {
  hlc_rm::print_error(mod, msg);
}
void pack_mec_f1d(void *p, const Record *r) {
  hlc_rm::pack(mod, p, r);
}
void unpack_mec_f1d(const void *p, Record *r) {
  hlc_rm::unpack(mod, p, r);
}
int32 get_vgrp_id_mec_f1d(void) {
  return vgrp_id_mec_f1d;
}
int32 wr_Vgrp_desc_mec_f1d(char *buf) {
  return hlc_rm::wr_desc(mod, buf);
}
}

extern "C" constinit const hlc_edr_product hlc_edr_product_mec_f1d =
    hlc_rm::describe(mod, HLC_RM_OPERATIONS(mec_f1d, Record));
