// MEC/WIND housekeeping record module: the table "MEC_Housekeeping" in the
// Vgroup "VG_MEC_Housekeeping". No SDS.
#include "mec_hk_api.h"
#include "record_module.h"

using Record = MEC_Housekeeping;

// The description text is mec_hk.h itself, embedded at build time.
static constexpr char mec_hk_text[] = {
#include "mec_hk_text.inc"
};

extern "C" {
int32 vgrp_id_mec_hk = -1;
char Vgrp_descrp_MEC_Housekeeping[MEC_HK_DESC_SIZE];
}
static int32 vdata_id_mec_hk = -1;
static int32 recnum_rd = -1;
static hlc_rm::Session session;  // open use, and where the next read happens

using namespace hlc_rm::terms;
#define V(f, t, ...) HLC_RM_MEMBER(Record, f, DFNT_##t, nullptr, __VA_ARGS__)

// The record's members, in declaration order, with what mec_hk.h says of them.
static constexpr hlc_rm::Entry members[] = {
    {V(sclk_seconds, UINT32),
     {.long_name = "spacecraft time at the start of the data cycle", .units = "s"}},
    {V(sclk_subseconds, UINT16),
     {.long_name = "spacecraft time at the start of the data cycle, fractions of SCLK second",
      .units = "s/65536"}},
    {V(WIND_MEC_FLAGS, UINT16),
     {.long_name = "MEC/WIND status word",
      .comment = "MSB order",
      .flags = {{bit(10), bit(9), bit(8), bit(7), bit(6), bit(5), bit(4), bit(3), bit(2), bit(1),
                 bit(0)},
                "DATA_OK gim_ok gem_ok mec_ok gim_dt_ok peak_find_ok alpha_avail bde_avail "
                "bde_detected gem_dt_ok POLAR_EARTH"}}},
    {V(gim_peak_azim, UINT8),
     {.long_name = "index of the GIM azimuth angle of the peak", .valid = range(0, 39)}},
    {V(gim_peak_CEM, UINT8),
     {.long_name = "index of the GIM CEM of the peak", .valid = range(0, 7)}},
    {V(bde_disqual_cnt, UINT8),
     {.long_name = "number of azimuthal double peaks that were disqualified because their "
                   "direction is aligned with the Earth"}},
    {V(bde_azim_cnt, UINT8),
     {.long_name = "number of azimuthal double peaks found and not disqualified"}},
    {V(bde_polar_cnt, UINT8),
     {.long_name = "number of times clear valleys were found in the polar BDE check (CEM 0 and 6 "
                   "peaks)"}},
    {V(regime, UINT8),
     {.long_name = "final result of the regime code",
      .comment = "the state that the array is commanded to: E, H or L"}},
    {V(WIND_REGIME_FLAGS, UINT16),
     {.long_name = "MEC/WIND regime status word",
      .comment = "MSB order; the record header names bits 1 and 0 \"alpha weight\" and \"BDE "
                 "weight\"",
      .flags = {{bit(9), bit(8), bit(7), bit(6), bit(5), bit(4), bit(3), bit(2), bit(1), bit(0)},
                "proton_hist_despike alpha_hist_despike conc_to_standby gim_search_req "
                "max_gap_exceeded min_count_missed bulk_selected shock_detected alpha_weight "
                "BDE_weight"}}},
    {V(gim_deadtime, FLOAT32),
     {.long_name = "GIM dead time", .comment = "the configured parameter"}},
    {V(gim_bg_level, FLOAT32),
     {.long_name = "GIM background level from the on-board calculation", .units = "count"}},
    {V(gem_deadtime, FLOAT32),
     {.long_name = "GEM dead time", .comment = "the configured parameter"}},
    {V(gem_bg_level, FLOAT32),
     {.long_name = "GEM background level from the on-board calculation", .units = "count"}},
    {V(proton_density_curr, FLOAT32), {.long_name = "current proton density", .units = "cm-3"}},
    {V(proton_speed_curr, FLOAT32), {.long_name = "current proton speed", .units = "cm/s"}},
    {V(proton_temp_curr, FLOAT32), {.long_name = "current proton temperature", .units = "K"}},
    {V(proton_temp_exp_ratio_curr, FLOAT32),
     {.long_name = "current proton temperature expansion ratio", .units = "1"}},
    {V(alpha_ratio_curr, FLOAT32), {.long_name = "current alpha ratio", .units = "1"}},
    {V(proton_density_av, FLOAT32),
     {.long_name = "proton density averaged over the history", .units = "cm-3"}},
    {V(proton_speed_av, FLOAT32),
     {.long_name = "proton speed averaged over the history", .units = "cm/s"}},
    {V(proton_temp_av, FLOAT32),
     {.long_name = "proton temperature averaged over the history", .units = "K"}},
    {V(proton_temp_exp_ratio_av, FLOAT32),
     {.long_name = "proton temperature expansion ratio averaged over the history", .units = "1"}},
    {V(alpha_ratio_av, FLOAT32),
     {.long_name = "alpha ratio averaged over the history", .units = "1"}},
    {V(BDE_av, FLOAT32), {.long_name = "BDE average over the history", .valid = range(0, 1)}},
    {V(TO_CME, FLOAT32), {.long_name = "regime algorithm parameter", .valid = range(0, 1)}},
    {V(V1_ave, FLOAT32),
     {.long_name = "speed averaged over the first half of the history", .units = "cm/s"}},
    {V(V2_ave, FLOAT32),
     {.long_name = "speed averaged over the second half of the history", .units = "cm/s"}},
    {V(N1_ave, FLOAT32),
     {.long_name = "proton density averaged over the first half of the history", .units = "cm-3"}},
    {V(N2_ave, FLOAT32),
     {.long_name = "proton density averaged over the second half of the history", .units = "cm-3"}},
    {V(T1_ave, FLOAT32),
     {.long_name = "temperature averaged over the first half of the history", .units = "K"}},
    {V(T2_ave, FLOAT32),
     {.long_name = "temperature averaged over the second half of the history", .units = "K"}},
    {V(TIME_OF_SHOCK, UINT32),
     {.long_name = "time of the shock, from the regime algorithm",
      .units = "s",
      .comment = "SCLK seconds"}},
    {V(TIME_OF_CME, UINT32),
     {.long_name = "time of the CME, from the regime algorithm",
      .units = "s",
      .comment = "SCLK seconds"}},
    {V(F1D_PROT_PEAK, FLOAT32),
     {.long_name = "value of the 1-D ion distribution (F1D) at the proton peak"}},
    {V(F1D_MIN, FLOAT32),
     {.long_name = "value of the 1-D ion distribution (F1D) at the minimum between the proton "
                   "and alpha peaks"}},
    {V(F1D_HE_PEAK, FLOAT32),
     {.long_name = "value of the 1-D ion distribution (F1D) at the alpha peak"}},
    {V(PROT_PEAK_LEVEL, UINT16),
     {.long_name = "energy step where the proton peak was found", .valid = range(0, 39)}},
    {V(PROT_ALPHA_MIN_LEVEL, UINT16),
     {.long_name = "energy step where the minimum was found", .valid = range(0, 39)}},
    {V(ALPHA_PEAK_LEVEL, UINT16),
     {.long_name = "energy step where the alpha peak was found", .valid = range(0, 39)}},
    {V(HIST_ENTRIES, UINT16), {.long_name = "number of valid entries in the history"}},
    {V(HIST_MAX_GAP, FLOAT32), {.long_name = "longest contiguous gap of the history"}},
    {V(COUNT_PEAK, FLOAT32), {.long_name = "uncompressed count of the peak"}},
    {V(extra_data, UINT32),
     {.long_name = "extra MEC/WIND data and room for expansion",
      .comment = "MSB order; bits 29-30: aband_data_cycle_spin, a spin number, meaningful only "
                 "when aband_data_cycle_bool is TRUE; bits 0-28: spare",
      .flags = {{bit(31)}, "aband_data_cycle_bool"}}},
};
#undef V
static constexpr auto table = hlc_rm::layout(members);

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
    .title = "MEC/WIND Housekeeping Data",
    .instrument = "MEC",
    .record_size = sizeof(Record),
    .layout = table.view(),
    .pack = hlc_rm::packer<table>,
    .unpack = hlc_rm::unpacker<table>,
    .field_list = field_list,
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

static_assert(hlc_rm::module_ok(mod, table));
static_assert(table.packed_size == 144);
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
  return hlc_rm::init_wr(mod, init_cr_mec_hk, f, sd, an, c);
}
int32 write_mec_hk(Record r, int32 pos) {
  return hlc_rm::write(mod, &r, pos);
}
int32 flush_wr_mec_hk(void) {
  return hlc_rm::flush_wr(mod);
}
void close_wr_mec_hk(void) {
  hlc_rm::close_wr(mod);
}
int32 init_acc_mec_hk(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_acc(mod, f, sd, a);
}
int32 init_rd_mec_hk(int32 f, int32 sd, const char *a) {
  return hlc_rm::init_rd(mod, init_acc_mec_hk, f, sd, a);
}
int32 read_mec_hk(Record *r, int32 pos) {
  return hlc_rm::read(mod, r, pos);
}
int32 read_block_mec_hk(int32 pos, int32 n, void *const *cols) {
  return hlc_rm::read_block(mod, pos, n, cols);
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

extern "C" constinit const hlc_edr_product hlc_edr_product_mec_hk =
    hlc_rm::describe(mod, HLC_RM_OPERATIONS(mec_hk, Record));
