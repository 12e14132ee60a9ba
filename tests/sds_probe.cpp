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

static const char sds_probe_text[] =
    "/*\n   SDS probe record, for tests of the record-module template \n*/\n\n"
    "struct SDS_Probe {\n\n   uint32   sclk_seconds;\n   uint16   sclk_subseconds;\n"
    "   uint8    mode;\n   float32  level[3];\n   uint16   ESA_set[24][5];\n"
    "   uint16   ESA_level[24][5];\n   uint16   counts[24][5][7];\n"
    "                                       };\n\n";

static constexpr hlc_rm::Field fields[] = {
    HLC_RM_FIELD(Record, sclk_seconds, DFNT_UINT32),
    HLC_RM_FIELD(Record, sclk_subseconds, DFNT_UINT16),
    HLC_RM_FIELD(Record, mode, DFNT_UINT8),
    HLC_RM_FIELD(Record, level, DFNT_FLOAT32),
};
static constexpr char field_list[] = "sclk_seconds, sclk_subseconds, mode, level";
static constexpr hlc_rm::Sds sds[] = {
    {"SDS_Probe_ESA_set", "ESA_set", DFNT_UINT16, 3, {0, 24, 5, 0}, offsetof(Record, ESA_set)},
    {"SDS_Probe_ESA_level",
     "ESA_level",
     DFNT_UINT16,
     3,
     {0, 24, 5, 0},
     offsetof(Record, ESA_level)},
    {"SDS_Probe_counts", "counts", DFNT_UINT16, 4, {0, 24, 5, 7}, offsetof(Record, counts)},
};

static constexpr hlc_rm::Module mod = {
    .name = "sds_probe",
    .source = "sds_probe.cpp",
    .header = "sds_probe.h",
    .vgroup_name = "VG_SDS_Probe",
    .vgroup_class = "VG_SDS_PROBE",
    .record_name = "SDS_Probe",
    .fields = fields,
    .nfields = 4,
    .field_list = field_list,
    .sds = sds,
    .nsds = 3,
    .packed_size = hlc_rm::packed_size_of(fields),
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
static_assert(hlc_rm::field_list_matches(fields, field_list));
static_assert(hlc_rm::orders_match(fields));
static_assert(hlc_rm::packed_size_of(fields) == 19);

extern "C" {
int32 init_cr_sds_probe(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_cr(mod, f, sd, an, c);
}
int32 init_wr_sds_probe(int32 f, int32 sd, int32 an, const char *c) {
  return init_cr_sds_probe(f, sd, an, c);
}
int32 write_sds_probe(Record r, int32 pos) {
  return hlc_rm::write(mod, &r, pos);
}
void close_wr_sds_probe(void) {
  hlc_rm::close_wr(mod);
}
int32 init_acc_sds_probe(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_acc(mod, f, sd, a);
}
int32 init_rd_sds_probe(int32 f, int32 sd, const char *a) {
  return init_acc_sds_probe(f, sd, a);
}
int32 read_sds_probe(Record *r, int32 pos) {
  return hlc_rm::read(mod, r, pos);
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
