// Test record module "sds_probe": the Vgroup "VG_SDS_Probe" holds the Vdata
// "SDS_Probe" and the SDS "SDS_Probe_ESA_set", "SDS_Probe_ESA_level" and
// "SDS_Probe_counts".
#include "sds_probe.h"

#include "record_module.h"

using Record = SDS_Probe;

extern "C" {
int32 vgrp_id_sds_probe = -1;
char Vgrp_descrp_SDS_Probe[SDS_PROBE_DESC_SIZE];
}
static int32 vdata_id_sds_probe = -1;
static int32 sds_id_sds_probe1 = -1;
static int32 sds_id_sds_probe2 = -1;
static int32 sds_id_sds_probe3 = -1;
static int32 recnum_wr = 0;
static int32 recnum_rd = -1;
static hlc_rm::Session session;  // open use, and where the next read happens

static constexpr char sds_probe_text[] =
    "/*\n   HLC EDR Structure definitions -- SDS Probe Data \n"
    "   (a record for tests of the record-module template)\n*/\n\n"
    "struct SDS_Probe {\n\n   uint32   sclk_seconds;\n   uint16   sclk_subseconds;\n"
    "   uint8    mode;\n   float32  level[3];\n   uint16   ESA_set[24][5];\n"
    "   uint16   ESA_level[24][5];\n   uint16   counts[24][5][7];\n"
    "                                       };\n\n";

#define V(f, t, ...) HLC_RM_MEMBER(Record, f, DFNT_##t, nullptr, __VA_ARGS__)
#define S(f, t, ...) HLC_RM_MEMBER(Record, f, DFNT_##t, "SDS_Probe_" #f, __VA_ARGS__)
#define N(n)    \
  hlc_edr_dim { \
#n, n       \
  }
static constexpr hlc_rm::Entry members[] = {
    {V(sclk_seconds, UINT32), {.long_name = "seconds", .units = "s"}},
    {V(sclk_subseconds, UINT16), {.long_name = "fractions of a second", .units = "s/65536"}},
    {V(mode, UINT8), {.long_name = "mode"}},
    {V(level, FLOAT32, N(3)), {.long_name = "levels"}},
    {S(ESA_set, UINT16, N(24), N(5)), {.long_name = "ESA set"}},
    {S(ESA_level, UINT16, N(24), N(5)), {.long_name = "ESA level"}},
    {S(counts, UINT16, N(24), N(5), N(7)), {.long_name = "counts"}},
};
#undef V
#undef S
#undef N
static constexpr auto table = hlc_rm::layout(members);
static constexpr char field_list[] = "sclk_seconds, sclk_subseconds, mode, level";

static constexpr hlc_rm::Module mod = {
    .name = "sds_probe",
    .source = "sds_probe.cpp",
    .header = "sds_probe.h",
    .vgroup_name = "VG_SDS_Probe",
    .vgroup_class = "VG_SDS_PROBE",
    .record_name = "SDS_Probe",
    .title = "SDS Probe Data",
    .instrument = "GEM",
    .record_size = sizeof(Record),
    .layout = table.view(),
    .pack = hlc_rm::packer<table>,
    .unpack = hlc_rm::unpacker<table>,
    .field_list = field_list,
    .text = sds_probe_text,
    .desc = Vgrp_descrp_SDS_Probe,
    .desc_size = SDS_PROBE_DESC_SIZE,
    .vgrp_id = &vgrp_id_sds_probe,
    .vdata_id = &vdata_id_sds_probe,
    .sds_id = {&sds_id_sds_probe1, &sds_id_sds_probe2, &sds_id_sds_probe3},
    .recnum_wr = &recnum_wr,
    .recnum_rd = &recnum_rd,
    .session = &session,
};
static_assert(hlc_rm::module_ok(mod, table));
static_assert(table.packed_size == 19);

extern "C" {
int32 init_cr_sds_probe(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_cr(mod, f, sd, an, c);
}
int32 init_wr_sds_probe(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_wr(mod, init_cr_sds_probe, f, sd, an, c);
}
int32 write_sds_probe(Record r, int32 pos) {
  return hlc_rm::write(mod, &r, pos);
}
int32 flush_wr_sds_probe(void) {
  return hlc_rm::flush_wr(mod);
}
void close_wr_sds_probe(void) {
  hlc_rm::close_wr(mod);
}
int32 init_acc_sds_probe(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_acc(mod, f, sd, a);
}
int32 init_rd_sds_probe(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_rd(mod, init_acc_sds_probe, f, sd, a);
}
int32 read_sds_probe(Record *r, int32 pos) {
  return hlc_rm::read(mod, r, pos);
}
int32 read_block_sds_probe(int32 pos, int32 n, void *const *cols) {
  return hlc_rm::read_block(mod, pos, n, cols);
}
void close_rd_sds_probe(void) {
  hlc_rm::close_rd(mod);
}
void rd_Vgrp_desc_sds_probe(int32 f, int32 an) {
  hlc_rm::rd_desc(mod, f, an);
}
void print_sds_probe_error(const char *msg) {
  hlc_rm::print_error(mod, msg);
}
void pack_sds_probe(void *p, const Record *r) {
  hlc_rm::pack(mod, p, r);
}
void unpack_sds_probe(const void *p, Record *r) {
  hlc_rm::unpack(mod, p, r);
}
int32 get_vgrp_id_sds_probe(void) {
  return vgrp_id_sds_probe;
}
int32 wr_Vgrp_desc_sds_probe(char *buf) {
  return hlc_rm::wr_desc(mod, buf);
}
}
