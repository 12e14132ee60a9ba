// GIM housekeeping, manual/calibration and normal products: their layouts,
// stated here apart from the record modules.
//
// Housekeeping (APID 29): 66-byte records; the set and level readbacks of the
// ten voltage levels arrive as pairs from byte 12 (set[j] at 12 + 4j,
// level[j] at 14 + 4j, so level[9] is bytes 50-51) and are stored as two
// arrays, set at bytes 12-31 and level at 32-51 of the Vdata record.
// Manual/calibration (APID 30): 94-byte records, counts of CEM c and level v
// at byte 14 + 10c + v (byte 93 is counts[7][9]).
// Normal (APID 28): 3336 bytes from two segments; the per-spin values arrive
// in 12-byte groups from byte 2, the counts of mask element e and level v at
// byte 136 + 40e + v, after the mask table (134) and the peak sector (135).
#include <cstddef>
#include <initializer_list>
#include <utility>

#include "gim_hk_api.h"
#include "gim_mancal_api.h"
#include "gim_normal_api.h"
#include "hdf.h"
#include "products.h"
#include "tlm_builder.h"

namespace products {

namespace {

// A record whose every byte is its own offset (mod 256), so that each value
// differs from its neighbours, with the given bytes set on top.
std::vector<uint8_t> marked(size_t n, std::initializer_list<std::pair<size_t, uint8_t>> bytes) {
  std::vector<uint8_t> rec = tlm::ramp(n);
  for (const auto &[offset, value] : bytes) rec[offset] = value;
  return rec;
}

Product gim_hk() {
  using R = GIM_Housekeeping;
  std::vector<Field> fields = {
      {"sclk_seconds", DFNT_UINT32, 1, offsetof(R, sclk_seconds), at(0)},
      {"sclk_subseconds", DFNT_UINT16, 1, offsetof(R, sclk_subseconds), at(4)},
      {"APID_status", DFNT_UINT16, 1, offsetof(R, APID_status), at(6)},
      {"start_level", DFNT_UINT16, 1, offsetof(R, start_level), at(8)},
      {"step_size", DFNT_UINT16, 1, offsetof(R, step_size), at(10)},
      {"set", DFNT_UINT16, 10, offsetof(R, set), every(12, 4)},
      {"level", DFNT_UINT16, 10, offsetof(R, level), every(14, 4)},
      {"CEM_set", DFNT_UINT16, 1, offsetof(R, CEM_set), at(52)},
      {"CEM_level", DFNT_UINT16, 1, offsetof(R, CEM_level), at(54)},
      {"AMP_set", DFNT_UINT16, 1, offsetof(R, AMP_set), at(56)},
      {"MON_5V", DFNT_UINT16, 1, offsetof(R, MON_5V), at(58)},
      {"MON_12V", DFNT_UINT16, 1, offsetof(R, MON_12V), at(60)},
      {"SW_status", DFNT_UINT16, 1, offsetof(R, SW_status), at(62)},
      {"CMD_status", DFNT_UINT16, 1, offsetof(R, CMD_status), at(64)},
  };
  return {
      .module = "gim_hk",
      .inst = 2,
      .kind = "hk",
      .apid = 29,
      .handling = Handling::kFixed,
      .record_size = 66,
      .vgroup = "VG_GIM_Housekeeping",
      .vgroup_class = "VG_GIM_HK",
      .vdata = "GIM_Housekeeping",
      .desc_size = 4389,
      .text_size = std::nullopt,
      .fields = fields,
      .sds = {},
      .initialized = "   initialized GIM h/k\n",
      .wrote = "      wrote GIM h/k record\n",
      .accumulated = "",
      .ops = PRODUCT_MODULE_OPS(gim_hk, GIM_Housekeeping),
      // Half a second in the sub-seconds; level[9] unlike set[9] beside it.
      .special = {marked(66, {{4, 0x80}, {5, 0x00}, {46, 0x11}, {50, 0xBE}, {51, 0xEF}})},
  };
}

Product gim_mancal() {
  using R = GIM_ManCal;
  return {
      .module = "gim_mancal",
      .inst = 2,
      .kind = "mancal",
      .apid = 30,
      .handling = Handling::kFixed,
      .record_size = 94,
      .vgroup = "VG_GIM_ManCal",
      .vgroup_class = "VG_GIM_MANCAL",
      .vdata = "GIM_ManCal",
      .desc_size = 2122,
      .text_size = std::nullopt,
      .fields =
          {
              {"sclk_seconds", DFNT_UINT32, 1, offsetof(R, sclk_seconds), at(0)},
              {"sclk_subseconds", DFNT_UINT16, 1, offsetof(R, sclk_subseconds), at(4)},
              {"APID_status", DFNT_UINT16, 1, offsetof(R, APID_status), at(6)},
              {"step_time", DFNT_UINT16, 1, offsetof(R, step_time), at(8)},
              {"integ_time", DFNT_UINT16, 1, offsetof(R, integ_time), at(10)},
              {"settle_time", DFNT_UINT16, 1, offsetof(R, settle_time), at(12)},
          },
      .sds = {{"GIM_ManCal_counts", DFNT_UINT8, {8, 10}, offsetof(R, counts), run(14, DFNT_UINT8)}},
      .initialized = "   initialized GIM Man/Cal\n",
      .wrote = "      wrote GIM man/cal record\n",
      .accumulated = "",
      .ops = PRODUCT_MODULE_OPS(gim_mancal, GIM_ManCal),
      // step_time 0x1234; the last count, counts[7][9], is 255.
      .special = {marked(94, {{8, 0x12}, {9, 0x34}, {93, 0xFF}})},
  };
}

Product gim_normal() {
  using R = GIM_Normal;
  return {
      .module = "gim_normal",
      .inst = 2,
      .kind = "normal",
      .apid = 28,
      .handling = Handling::kTwoPart,
      .record_size = 3336,
      .vgroup = "VG_GIM_Normal",
      .vgroup_class = "VG_GIM_NORMAL",
      .vdata = "GIM_Normal",
      .desc_size = 2970,
      .text_size = std::nullopt,
      .fields =
          {
              {"APID_status", DFNT_UINT16, 1, offsetof(R, APID_status), at(0)},
              {"sclk_seconds", DFNT_UINT32, 4, offsetof(R, sclk_seconds), every(2, 12)},
              {"sclk_subseconds", DFNT_UINT16, 4, offsetof(R, sclk_subseconds), every(6, 12)},
              {"step_time", DFNT_UINT16, 4, offsetof(R, step_time), every(8, 12)},
              {"level", DFNT_UINT16, 4, offsetof(R, level), every(10, 12)},
              {"step_size", DFNT_UINT16, 4, offsetof(R, step_size), every(12, 12)},
              {"integ_time", DFNT_UINT16, 1, offsetof(R, integ_time), at(50)},
              {"settle_time", DFNT_UINT16, 1, offsetof(R, settle_time), at(52)},
              {"ESA_level", DFNT_UINT16, 40, offsetof(R, ESA_level), run(54, DFNT_UINT16)},
              {"mask_table", DFNT_UINT8, 1, offsetof(R, mask_table), at(134)},
              {"peak_sector", DFNT_UINT8, 1, offsetof(R, peak_sector), at(135)},
          },
      .sds =
          {{"GIM_Normal_counts", DFNT_UINT8, {80, 40}, offsetof(R, counts), run(136, DFNT_UINT8)}},
      .initialized = "   initialized GIM Normal\n",
      .wrote = "      wrote GIM normal record\n",
      .accumulated = "accumulated GIM normal size %d\n",
      .ops = PRODUCT_MODULE_OPS(gim_normal, GIM_Normal),
      // integ_time 0x1234; mask table and peak sector unlike the first count.
      .special = {marked(3336, {{50, 0x12}, {51, 0x34}, {134, 0x05}, {135, 0x27}, {136, 0xFF}})},
  };
}

}  // namespace

std::vector<Product> gim_products() {
  return {gim_hk(), gim_mancal(), gim_normal()};
}

}  // namespace products
