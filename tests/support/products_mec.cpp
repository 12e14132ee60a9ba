// MEC/WIND housekeeping (APID 24, 144-byte records) and F1D ion distribution
// (APID 26, 168-byte records), stored as received; float32 values bit for bit.
#include <cstddef>

#include "hdf.h"
#include "mec_f1d_api.h"
#include "mec_hk_api.h"
#include "products.h"

namespace products {

namespace {

// float32 bit patterns that must survive unchanged: quiet and signalling
// NaNs, the infinities, negative zero, denormals, 1.0 and 42.0.
constexpr uint32_t kFloatPatterns[] = {0x7FC00000, 0x7F800001, 0xFFC00001, 0x7F800000, 0xFF800000,
                                       0x80000000, 0x00000001, 0x807FFFFF, 0x3F800000, 0x42280000};

void put32(std::vector<uint8_t> &rec, size_t offset, uint32_t v) {
  for (size_t k = 0; k < 4; ++k) rec[offset + k] = static_cast<uint8_t>(v >> (24 - 8 * k));
}

// A record of `size` bytes 0x11, 0x12, ... whose float32 values at `offsets`
// take the patterns in turn, starting with pattern `first`.
std::vector<uint8_t> with_patterns(size_t size, const std::vector<size_t> &offsets, size_t first) {
  std::vector<uint8_t> rec(size);
  for (size_t i = 0; i < size; ++i) rec[i] = static_cast<uint8_t>(0x11 + i);
  const size_t n = sizeof kFloatPatterns / sizeof kFloatPatterns[0];
  for (size_t k = 0; k < offsets.size(); ++k) {
    put32(rec, offsets[k], kFloatPatterns[(first + k) % n]);
  }
  return rec;
}

// A scalar field at `member` in the record structure, from `offset` in the
// record's packet bytes.
Field scalar(const char *name, int32 type, size_t member, size_t offset) {
  return {name, type, 1, member, at(offset)};
}

Product mec_hk() {
  using R = MEC_Housekeeping;
#define F(name, type, offset) scalar(#name, type, offsetof(R, name), offset)
  const std::vector<Field> fields = {
      F(sclk_seconds, DFNT_UINT32, 0),
      F(sclk_subseconds, DFNT_UINT16, 4),
      F(WIND_MEC_FLAGS, DFNT_UINT16, 6),
      F(gim_peak_azim, DFNT_UINT8, 8),
      F(gim_peak_CEM, DFNT_UINT8, 9),
      F(bde_disqual_cnt, DFNT_UINT8, 10),
      F(bde_azim_cnt, DFNT_UINT8, 11),
      F(bde_polar_cnt, DFNT_UINT8, 12),
      F(regime, DFNT_UINT8, 13),
      F(WIND_REGIME_FLAGS, DFNT_UINT16, 14),
      F(gim_deadtime, DFNT_FLOAT32, 16),
      F(gim_bg_level, DFNT_FLOAT32, 20),
      F(gem_deadtime, DFNT_FLOAT32, 24),
      F(gem_bg_level, DFNT_FLOAT32, 28),
      F(proton_density_curr, DFNT_FLOAT32, 32),
      F(proton_speed_curr, DFNT_FLOAT32, 36),
      F(proton_temp_curr, DFNT_FLOAT32, 40),
      F(proton_temp_exp_ratio_curr, DFNT_FLOAT32, 44),
      F(alpha_ratio_curr, DFNT_FLOAT32, 48),
      F(proton_density_av, DFNT_FLOAT32, 52),
      F(proton_speed_av, DFNT_FLOAT32, 56),
      F(proton_temp_av, DFNT_FLOAT32, 60),
      F(proton_temp_exp_ratio_av, DFNT_FLOAT32, 64),
      F(alpha_ratio_av, DFNT_FLOAT32, 68),
      F(BDE_av, DFNT_FLOAT32, 72),
      F(TO_CME, DFNT_FLOAT32, 76),
      F(V1_ave, DFNT_FLOAT32, 80),
      F(V2_ave, DFNT_FLOAT32, 84),
      F(N1_ave, DFNT_FLOAT32, 88),
      F(N2_ave, DFNT_FLOAT32, 92),
      F(T1_ave, DFNT_FLOAT32, 96),
      F(T2_ave, DFNT_FLOAT32, 100),
      F(TIME_OF_SHOCK, DFNT_UINT32, 104),
      F(TIME_OF_CME, DFNT_UINT32, 108),
      F(F1D_PROT_PEAK, DFNT_FLOAT32, 112),
      F(F1D_MIN, DFNT_FLOAT32, 116),
      F(F1D_HE_PEAK, DFNT_FLOAT32, 120),
      F(PROT_PEAK_LEVEL, DFNT_UINT16, 124),
      F(PROT_ALPHA_MIN_LEVEL, DFNT_UINT16, 126),
      F(ALPHA_PEAK_LEVEL, DFNT_UINT16, 128),
      F(HIST_ENTRIES, DFNT_UINT16, 130),
      F(HIST_MAX_GAP, DFNT_FLOAT32, 132),
      F(COUNT_PEAK, DFNT_FLOAT32, 136),
      F(extra_data, DFNT_UINT32, 140),
  };
#undef F

  std::vector<size_t> float_offsets;
  for (const Field &f : fields) {
    if (f.type == DFNT_FLOAT32) float_offsets.push_back(f.source(0));
  }
  std::vector<uint8_t> first = with_patterns(144, float_offsets, 0);
  put32(first, 16, 0x3F800000);   // gim_deadtime 1.0
  put32(first, 136, 0x42280000);  // COUNT_PEAK 42.0
  put32(first, 140, 0x80000000);  // extra_data: bit 31 alone

  return {
      .module = "mec_hk",
      .inst = 4,
      .kind = "hk",
      .apid = 24,
      .handling = Handling::kFixed,
      .record_size = 144,
      .vgroup = "VG_MEC_Housekeeping",
      .vgroup_class = "VG_MEC_HK",
      .vdata = "MEC_Housekeeping",
      .desc_size = 8714,
      .text_size = 8625,
      .fields = fields,
      .sds = {},
      .initialized = "   initialized MEC/WIND h/k\n",
      .wrote = "      wrote MEC/WIND h/k record\n",
      .accumulated = "",
      .ops = PRODUCT_MODULE_OPS(mec_hk, MEC_Housekeeping),
      .special = {first, with_patterns(144, float_offsets, 3)},
  };
}

Product mec_f1d() {
  using R = MEC_f1d;
  std::vector<size_t> float_offsets;
  for (size_t i = 0; i < 40; ++i) float_offsets.push_back(8 + 4 * i);
  return {
      .module = "mec_f1d",
      .inst = 4,
      .kind = "f1d",
      .apid = 26,
      .handling = Handling::kFixed,
      .record_size = 168,
      .vgroup = "VG_MEC_f1d",
      .vgroup_class = "VG_MEC_F1D",
      .vdata = "MEC_f1d",
      .desc_size = 853,
      .text_size = 756,
      // Bytes 6-7 of the packet record are not stored: the distribution
      // follows sclk_subseconds directly in the 166-byte Vdata record.
      .fields = {{"sclk_seconds", DFNT_UINT32, 1, offsetof(R, sclk_seconds), at(0)},
                 {"sclk_subseconds", DFNT_UINT16, 1, offsetof(R, sclk_subseconds), at(4)},
                 {"f1d_ion_distr", DFNT_FLOAT32, 40, offsetof(R, f1d_ion_distr), every(8, 4)}},
      .sds = {},
      .initialized = "   initialized MEC/WIND F1D\n",
      .wrote = "      wrote MEC/WIND F1D record\n",
      .accumulated = "",
      .ops = PRODUCT_MODULE_OPS(mec_f1d, MEC_f1d),
      .special = {with_patterns(168, float_offsets, 0), with_patterns(168, float_offsets, 5)},
  };
}

}  // namespace

std::vector<Product> mec_products() {
  return {mec_hk(), mec_f1d()};
}

}  // namespace products
