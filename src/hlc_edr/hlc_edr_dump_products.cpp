// hlc_edr_dump: the table of the twelve products. Each row lists the record
// structure's members in declaration order with their type, their array
// dimensions (by the constants of hlc_edr_const.h) and whether the file keeps
// them in the Vdata table or in an SDS; places come from offsetof on the
// headers' structures, and the build checks every row against its structure.
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <type_traits>

#include "con_hk_api.h"
#include "gem_hk_api.h"
#include "gem_mancal_api.h"
#include "gem_normal_api.h"
#include "gem_raw_api.h"
#include "gim_diag_api.h"
#include "gim_hk_api.h"
#include "gim_mancal_api.h"
#include "gim_normal_api.h"
#include "gim_raw_api.h"
#include "hlc_edr_const.h"
#include "hlc_edr_dump.h"
#include "mec_f1d_api.h"
#include "mec_hk_api.h"

static_assert(std::is_same_v<int32, int32_t>, "HDF4's int32 is the dump's int32_t");

namespace hlc_dump {
namespace {

// A failed check below stops the compilation of the table: a throw cannot
// be evaluated in a constant expression.
constexpr void require(bool ok, const char *what) {
  if (!ok) throw what;
}

constexpr Field field(const char *name, Type type, size_t offset, size_t member_size, bool sds,
                      std::initializer_list<Dim> dims) {
  Field f{name, type, offset, sds, static_cast<int>(dims.size()), {}};
  require(dims.size() <= kMaxRank, "too many dimensions");
  int d = 0;
  for (const Dim &dim : dims) f.dims[d++] = dim;
  require(f.bytes() == member_size, "type and dimensions do not match the member's size");
  return f;
}

constexpr size_t align_up(size_t n, size_t a) {
  return (n + a - 1) / a * a;
}

// The fields are the structure's members, every one, in declaration order:
// each starts where the previous one ends, after the padding of its type
// alone, and the structure ends after the last one.
template <size_t N>
constexpr bool covers(const Field (&fields)[N], size_t record_size) {
  size_t end = 0, align = 1;
  for (const Field &f : fields) {
    const size_t a = type_size(f.type);
    if (f.offset != align_up(end, a)) return false;
    end = f.offset + f.bytes();
    if (a > align) align = a;
  }
  return record_size == align_up(end, align);
}

template <size_t N>
constexpr const Field *named(const Field (&fields)[N], const char *name) {
  for (const Field &f : fields) {
    if (std::char_traits<char>::compare(f.name, name, std::char_traits<char>::length(name) + 1) ==
        0) {
      return &f;
    }
  }
  return nullptr;
}

template <size_t N>
constexpr Product product(const char *module, const char *record, size_t record_size,
                          const Field (&fields)[N], ModuleOps ops, char *desc, size_t desc_size) {
  require(covers(fields, record_size), "the fields are not the structure's members");
  const Field *seconds = named(fields, "sclk_seconds");
  const Field *subseconds = named(fields, "sclk_subseconds");
  require(seconds != nullptr && subseconds != nullptr, "no record time");
  require(seconds->type == Type::kU32 && subseconds->type == Type::kU16, "record time types");
  require(seconds->rank == subseconds->rank && seconds->rank <= 1, "record time shapes");
  require(seconds->rank == 0 || seconds->dims[0].size == subseconds->dims[0].size, "spins");
  return {module, record, record_size, fields,  static_cast<int>(N),
          ops,    desc,   desc_size,   seconds, subseconds};
}

#define D(c) \
  Dim {      \
#c, c    \
  }
#define V(f, t, ...) field(#f, Type::t, offsetof(R, f), sizeof(R::f), false, {__VA_ARGS__})
#define S(f, t, ...) field(#f, Type::t, offsetof(R, f), sizeof(R::f), true, {__VA_ARGS__})
#define OPS(m, R)                                                                     \
  ModuleOps {                                                                         \
    init_rd_##m, [](void *r, int32_t p) { return read_##m(static_cast<R *>(r), p); }, \
        close_rd_##m, rd_Vgrp_desc_##m                                                \
  }
#define PRODUCT(m, R, desc) product(#m, #R, sizeof(R), m::fields, OPS(m, R), desc, sizeof desc)

// GEM and GIM records of the same kind have the same members; U is the
// unit's prefix of the dimension constants.
#define HK_FIELDS(U)                                                                             \
  V(sclk_seconds, kU32), V(sclk_subseconds, kU16), V(APID_status, kU16), V(start_level, kU16),   \
      V(step_size, kU16), V(set, kU16, D(U##_SPIN_LEVELS)), V(level, kU16, D(U##_SPIN_LEVELS)),  \
      V(CEM_set, kU16), V(CEM_level, kU16), V(AMP_set, kU16), V(MON_5V, kU16), V(MON_12V, kU16), \
      V(SW_status, kU16), V(CMD_status, kU16)
#define MANCAL_FIELDS(U)                                                                     \
  V(sclk_seconds, kU32), V(sclk_subseconds, kU16), V(APID_status, kU16), V(step_time, kU16), \
      V(integ_time, kU16), V(settle_time, kU16), S(counts, kU8, D(U##_CEMS), D(U##_SPIN_LEVELS))
#define SPIN_FIELDS(U)                                                                     \
  V(APID_status, kU16), V(sclk_seconds, kU32, D(U##_SPINS)),                               \
      V(sclk_subseconds, kU16, D(U##_SPINS)), V(step_time, kU16, D(U##_SPINS)),            \
      V(level, kU16, D(U##_SPINS)), V(step_size, kU16, D(U##_SPINS)), V(integ_time, kU16), \
      V(settle_time, kU16), V(ESA_level, kU16, D(U##_CYCLE_LEVELS))
#define RAW_FIELDS(U)                                                                          \
  V(sclk_seconds, kU32), V(sclk_subseconds, kU16), V(start_req, kU16, D(U##_AZIMUTH_SECTORS)), \
      V(step_size, kU16, D(U##_AZIMUTH_SECTORS)), V(step_time, kU16, D(U##_AZIMUTH_SECTORS)),  \
      V(angle, kU16, D(U##_AZIMUTH_SECTORS)),                                                  \
      S(ESA_set, kU16, D(U##_AZIMUTH_SECTORS), D(U##_SPIN_LEVELS)),                            \
      S(ESA_level, kU16, D(U##_AZIMUTH_SECTORS), D(U##_SPIN_LEVELS)),                          \
      S(counts, kU16, D(U##_AZIMUTH_SECTORS), D(U##_SPIN_LEVELS), D(U##_CEMS))

// ---- GEM --------------------------------------------------------------------

namespace gem_hk {
using R = GEM_Housekeeping;
constexpr Field fields[] = {HK_FIELDS(GEM)};
}  // namespace gem_hk

namespace gem_mancal {
using R = GEM_ManCal;
constexpr Field fields[] = {MANCAL_FIELDS(GEM)};
}  // namespace gem_mancal

namespace gem_normal {
using R = GEM_Normal;
constexpr Field fields[] = {
    SPIN_FIELDS(GEM),
    S(counts, kU8, D(GEM_AZIMUTH_SECTORS), D(GEM_CEMS), D(GEM_CYCLE_LEVELS)),
};
}  // namespace gem_normal

namespace gem_raw {
using R = GEM_Raw;
constexpr Field fields[] = {RAW_FIELDS(GEM)};
}  // namespace gem_raw

// ---- GIM --------------------------------------------------------------------

namespace gim_hk {
using R = GIM_Housekeeping;
constexpr Field fields[] = {HK_FIELDS(GIM)};
}  // namespace gim_hk

namespace gim_mancal {
using R = GIM_ManCal;
constexpr Field fields[] = {MANCAL_FIELDS(GIM)};
}  // namespace gim_mancal

namespace gim_normal {
using R = GIM_Normal;
constexpr Field fields[] = {
    SPIN_FIELDS(GIM),
    V(mask_table, kU8),
    V(peak_sector, kU8),
    S(counts, kU8, D(GIM_MASK_ELEMENTS), D(GIM_CYCLE_LEVELS)),
};
}  // namespace gim_normal

namespace gim_raw {
using R = GIM_Raw;
constexpr Field fields[] = {RAW_FIELDS(GIM)};
}  // namespace gim_raw

namespace gim_diag {
using R = GIM_Diagnostic;
constexpr Field fields[] = {
    SPIN_FIELDS(GIM),
    S(counts, kU8, D(GIM_AZIMUTH_SECTORS), D(GIM_CEMS), D(GIM_CYCLE_LEVELS)),
};
}  // namespace gim_diag

// ---- Concentrator -----------------------------------------------------------

namespace con_hk {
using R = Concentrator_Housekeeping;
constexpr Field fields[] = {
    V(sclk_seconds, kU32),     V(sclk_subseconds, kU16),
    V(APID_status, kU16),      V(elec_req, kU16),
    V(accel_req, kU16),        V(rej_req, kU16),
    V(elec_level, kU16),       V(accel_level, kU16),
    V(rej_level, kU16),        V(elec_set, kU16),
    V(accel_set, kU16),        V(rej_set, kU16),
    V(MON_5V, kU16),           V(MON_12V, kU16),
    V(elec_fault_count, kU16), V(accel_fault_count, kU16),
    V(rej_fault_count, kU16),  V(elec_maximum, kU16),
    V(elec_minimum, kU16),     V(accel_maximum, kU16),
    V(accel_minimum, kU16),    V(rej_maximum, kU16),
    V(rej_minimum, kU16),      V(SW_status, kU16),
    V(CMD_status, kU16),
};
}  // namespace con_hk

// ---- MEC --------------------------------------------------------------------

namespace mec_hk {
using R = MEC_Housekeeping;
constexpr Field fields[] = {
    V(sclk_seconds, kU32),
    V(sclk_subseconds, kU16),
    V(WIND_MEC_FLAGS, kU16),
    V(gim_peak_azim, kU8),
    V(gim_peak_CEM, kU8),
    V(bde_disqual_cnt, kU8),
    V(bde_azim_cnt, kU8),
    V(bde_polar_cnt, kU8),
    V(regime, kU8),
    V(WIND_REGIME_FLAGS, kU16),
    V(gim_deadtime, kF32),
    V(gim_bg_level, kF32),
    V(gem_deadtime, kF32),
    V(gem_bg_level, kF32),
    V(proton_density_curr, kF32),
    V(proton_speed_curr, kF32),
    V(proton_temp_curr, kF32),
    V(proton_temp_exp_ratio_curr, kF32),
    V(alpha_ratio_curr, kF32),
    V(proton_density_av, kF32),
    V(proton_speed_av, kF32),
    V(proton_temp_av, kF32),
    V(proton_temp_exp_ratio_av, kF32),
    V(alpha_ratio_av, kF32),
    V(BDE_av, kF32),
    V(TO_CME, kF32),
    V(V1_ave, kF32),
    V(V2_ave, kF32),
    V(N1_ave, kF32),
    V(N2_ave, kF32),
    V(T1_ave, kF32),
    V(T2_ave, kF32),
    V(TIME_OF_SHOCK, kU32),
    V(TIME_OF_CME, kU32),
    V(F1D_PROT_PEAK, kF32),
    V(F1D_MIN, kF32),
    V(F1D_HE_PEAK, kF32),
    V(PROT_PEAK_LEVEL, kU16),
    V(PROT_ALPHA_MIN_LEVEL, kU16),
    V(ALPHA_PEAK_LEVEL, kU16),
    V(HIST_ENTRIES, kU16),
    V(HIST_MAX_GAP, kF32),
    V(COUNT_PEAK, kF32),
    V(extra_data, kU32),
};
}  // namespace mec_hk

namespace mec_f1d {
using R = MEC_f1d;
constexpr Field fields[] = {
    V(sclk_seconds, kU32),
    V(sclk_subseconds, kU16),
    V(f1d_ion_distr, kF32, D(MEC_F1D_ELEMENTS)),
};
}  // namespace mec_f1d

constexpr Product kGemHk = PRODUCT(gem_hk, GEM_Housekeeping, Vgrp_descrp_GEM_Housekeeping);
constexpr Product kGemMancal = PRODUCT(gem_mancal, GEM_ManCal, Vgrp_descrp_GEM_ManCal);
constexpr Product kGemNormal = PRODUCT(gem_normal, GEM_Normal, Vgrp_descrp_GEM_Normal);
constexpr Product kGemRaw = PRODUCT(gem_raw, GEM_Raw, Vgrp_descrp_GEM_Raw);
constexpr Product kGimHk = PRODUCT(gim_hk, GIM_Housekeeping, Vgrp_descrp_GIM_Housekeeping);
constexpr Product kGimMancal = PRODUCT(gim_mancal, GIM_ManCal, Vgrp_descrp_GIM_ManCal);
constexpr Product kGimNormal = PRODUCT(gim_normal, GIM_Normal, Vgrp_descrp_GIM_Normal);
constexpr Product kGimRaw = PRODUCT(gim_raw, GIM_Raw, Vgrp_descrp_GIM_Raw);
constexpr Product kGimDiag = PRODUCT(gim_diag, GIM_Diagnostic, Vgrp_descrp_GIM_Diagnostic);
constexpr Product kConHk =
    PRODUCT(con_hk, Concentrator_Housekeeping, Vgrp_descrp_Concentrator_Housekeeping);
constexpr Product kMecHk = PRODUCT(mec_hk, MEC_Housekeeping, Vgrp_descrp_MEC_Housekeeping);
constexpr Product kMecF1d = PRODUCT(mec_f1d, MEC_f1d, Vgrp_descrp_MEC_f1d);

}  // namespace

const Product *const kProducts[kNumProducts] = {&kGemHk,   &kGemMancal, &kGemNormal, &kGemRaw,
                                                &kGimHk,   &kGimMancal, &kGimNormal, &kGimRaw,
                                                &kGimDiag, &kConHk,     &kMecHk,     &kMecF1d};

const Product *find_product(const std::string &module) {
  for (const Product *p : kProducts) {
    if (module == p->module) return p;
  }
  return nullptr;
}

Sclk sclk_of(const Product &p, const void *record, int spin) {
  const unsigned char *r = static_cast<const unsigned char *>(record);
  Sclk t{};
  std::memcpy(&t.seconds, r + p.sclk_seconds->offset + 4 * static_cast<size_t>(spin), 4);
  std::memcpy(&t.subseconds, r + p.sclk_subseconds->offset + 2 * static_cast<size_t>(spin), 2);
  return t;
}

}  // namespace hlc_dump
