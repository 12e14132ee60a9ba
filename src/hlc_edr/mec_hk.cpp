// MEC/WIND housekeeping record module: the table "MEC_Housekeeping" in the
// Vgroup "VG_MEC_Housekeeping". No SDS.
#include "mec_hk_api.h"
#include "record_module.h"

using Record = MEC_Housekeeping;

// The description text is mec_hk.h itself, embedded at build time.
static const char mec_hk_text[] = {
#include "mec_hk_text.inc"
};

extern "C" {
int32 vgrp_id_mec_hk = -1;
char Vgrp_descrp_MEC_Housekeeping[MEC_HK_DESC_SIZE];
}
static int32 vdata_id_mec_hk = -1;
static int32 recnum_rd = -1;
static hlc_rm::Session session;  // open use, and where the next read happens

#define FIELD(f, t) HLC_RM_FIELD(Record, f, t)

static constexpr hlc_rm::Field fields[] = {
    FIELD(sclk_seconds, DFNT_UINT32),
    FIELD(sclk_subseconds, DFNT_UINT16),
    FIELD(WIND_MEC_FLAGS, DFNT_UINT16),
    FIELD(gim_peak_azim, DFNT_UINT8),
    FIELD(gim_peak_CEM, DFNT_UINT8),
    FIELD(bde_disqual_cnt, DFNT_UINT8),
    FIELD(bde_azim_cnt, DFNT_UINT8),
    FIELD(bde_polar_cnt, DFNT_UINT8),
    FIELD(regime, DFNT_UINT8),
    FIELD(WIND_REGIME_FLAGS, DFNT_UINT16),
    FIELD(gim_deadtime, DFNT_FLOAT32),
    FIELD(gim_bg_level, DFNT_FLOAT32),
    FIELD(gem_deadtime, DFNT_FLOAT32),
    FIELD(gem_bg_level, DFNT_FLOAT32),
    FIELD(proton_density_curr, DFNT_FLOAT32),
    FIELD(proton_speed_curr, DFNT_FLOAT32),
    FIELD(proton_temp_curr, DFNT_FLOAT32),
    FIELD(proton_temp_exp_ratio_curr, DFNT_FLOAT32),
    FIELD(alpha_ratio_curr, DFNT_FLOAT32),
    FIELD(proton_density_av, DFNT_FLOAT32),
    FIELD(proton_speed_av, DFNT_FLOAT32),
    FIELD(proton_temp_av, DFNT_FLOAT32),
    FIELD(proton_temp_exp_ratio_av, DFNT_FLOAT32),
    FIELD(alpha_ratio_av, DFNT_FLOAT32),
    FIELD(BDE_av, DFNT_FLOAT32),
    FIELD(TO_CME, DFNT_FLOAT32),
    FIELD(V1_ave, DFNT_FLOAT32),
    FIELD(V2_ave, DFNT_FLOAT32),
    FIELD(N1_ave, DFNT_FLOAT32),
    FIELD(N2_ave, DFNT_FLOAT32),
    FIELD(T1_ave, DFNT_FLOAT32),
    FIELD(T2_ave, DFNT_FLOAT32),
    FIELD(TIME_OF_SHOCK, DFNT_UINT32),
    FIELD(TIME_OF_CME, DFNT_UINT32),
    FIELD(F1D_PROT_PEAK, DFNT_FLOAT32),
    FIELD(F1D_MIN, DFNT_FLOAT32),
    FIELD(F1D_HE_PEAK, DFNT_FLOAT32),
    FIELD(PROT_PEAK_LEVEL, DFNT_UINT16),
    FIELD(PROT_ALPHA_MIN_LEVEL, DFNT_UINT16),
    FIELD(ALPHA_PEAK_LEVEL, DFNT_UINT16),
    FIELD(HIST_ENTRIES, DFNT_UINT16),
    FIELD(HIST_MAX_GAP, DFNT_FLOAT32),
    FIELD(COUNT_PEAK, DFNT_FLOAT32),
    FIELD(extra_data, DFNT_UINT32),
};
#undef FIELD

static constexpr char field_list[] =
    "sclk_seconds, sclk_subseconds, WIND_MEC_FLAGS, gim_peak_azim, gim_peak_CEM, "
    "bde_disqual_cnt, bde_azim_cnt, bde_polar_cnt, regime, WIND_REGIME_FLAGS, gim_deadtime, "
    "gim_bg_level, gem_deadtime, gem_bg_level, proton_density_curr, proton_speed_curr, "
    "proton_temp_curr, proton_temp_exp_ratio_curr, alpha_ratio_curr, proton_density_av, "
    "proton_speed_av, proton_temp_av, proton_temp_exp_ratio_av, alpha_ratio_av, BDE_av, TO_CME, "
    "V1_ave, V2_ave, N1_ave, N2_ave, T1_ave, T2_ave, TIME_OF_SHOCK, TIME_OF_CME, F1D_PROT_PEAK, "
    "F1D_MIN, F1D_HE_PEAK, PROT_PEAK_LEVEL, PROT_ALPHA_MIN_LEVEL, ALPHA_PEAK_LEVEL, "
    "HIST_ENTRIES, HIST_MAX_GAP, COUNT_PEAK, extra_data";

static constexpr hlc_rm::Module mod = {
    .name = "mec_hk",
    .source = "mec_hk.cpp",
    .header = "mec_hk.h",
    .vgroup_name = "VG_MEC_Housekeeping",
    .vgroup_class = "VG_MEC_HK",
    .record_name = "MEC_Housekeeping",
    .fields = fields,
    .nfields = sizeof fields / sizeof fields[0],
    .field_list = field_list,
    .sds = nullptr,
    .nsds = 0,
    .packed_size = hlc_rm::packed_size_of(fields),
    .text = mec_hk_text,
    .desc = Vgrp_descrp_MEC_Housekeeping,
    .desc_size = MEC_HK_DESC_SIZE,
    .vgrp_id = &vgrp_id_mec_hk,
    .vdata_id = &vdata_id_mec_hk,
    .sds_id = {nullptr, nullptr, nullptr},
    .recnum_wr = nullptr,
    .recnum_rd = &recnum_rd,
    .session = &session,
};

static_assert(hlc_rm::field_list_matches(fields, field_list));
static_assert(hlc_rm::orders_match(fields));
static_assert(hlc_rm::packed_size_of(fields) == 144);
static_assert(sizeof mec_hk_text - 1 +
                      hlc_rm::description_length("mec_hk.h", "VG_MEC_Housekeeping", "") ==
                  8625,
              "the description text is 8625 characters");
static_assert(8625 < MEC_HK_DESC_SIZE, "the text and its NUL fit the description buffer");

extern "C" {
int32 init_cr_mec_hk(int32 f, int32 sd, int32 an, const char *c) {
  return hlc_rm::init_cr(mod, f, sd, an, c);
}
int32 init_wr_mec_hk(int32 f, int32 sd, int32 an, const char *c) {
  return init_cr_mec_hk(f, sd, an, c);
}
int32 write_mec_hk(Record r, int32 pos) {
  return hlc_rm::write(mod, &r, pos);
}
void close_wr_mec_hk(void) {
  hlc_rm::close_wr(mod);
}
int32 init_acc_mec_hk(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_acc(mod, f, sd, a);
}
int32 init_rd_mec_hk(int32 f, int32 sd, const char *a) {
  return init_acc_mec_hk(f, sd, a);
}
int32 read_mec_hk(Record *r, int32 pos) {
  return hlc_rm::read(mod, r, pos);
}
void close_rd_mec_hk(void) {
  hlc_rm::close_rd(mod);
}
void rd_Vgrp_desc_mec_hk(int32 f, int32 an) {
  hlc_rm::rd_desc(mod, f, an);
}
void print_mec_hk_error(const char *msg) {
  hlc_rm::print_error(mod, msg);
}
void pack_mec_hk(void *p, const Record *r) {
  hlc_rm::pack(mod, p, r);
}
void unpack_mec_hk(const void *p, Record *r) {
  hlc_rm::unpack(mod, p, r);
}
int32 get_vgrp_id_mec_hk(void) {
  return vgrp_id_mec_hk;
}
int32 wr_Vgrp_desc_mec_hk(char *buf) {
  return hlc_rm::wr_desc(mod, buf);
}
}
