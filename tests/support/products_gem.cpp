// GEM products: where each value of their records lies in the packet bytes.
// Housekeeping (APID 32) and manual/calibration (APID 33) come as fixed
// records, several to a packet; normal (APID 31) and raw (APID 41) records
// are joined from a first and a last segment.
#include <cstddef>

#include "gem_hk_api.h"
#include "gem_mancal_api.h"
#include "gem_normal_api.h"
#include "gem_raw_api.h"
#include "hdf.h"
#include "products.h"

namespace products {
namespace {

// A record of zero bytes but for `ones`, which are 0xFF: bytes that are not
// decoded change no value.
std::vector<uint8_t> zeros_but(size_t size, std::initializer_list<size_t> ones) {
  std::vector<uint8_t> rec(size, 0);
  for (size_t i : ones) rec[i] = 0xFF;
  return rec;
}

Product gem_hk() {
  using R = GEM_Housekeeping;
  std::vector<Field> fields = {
      {"sclk_seconds", DFNT_UINT32, 1, offsetof(R, sclk_seconds), at(0)},
      {"sclk_subseconds", DFNT_UINT16, 1, offsetof(R, sclk_subseconds), at(4)},
      {"APID_status", DFNT_UINT16, 1, offsetof(R, APID_status), at(6)},
      {"start_level", DFNT_UINT16, 1, offsetof(R, start_level), at(8)},
      {"step_size", DFNT_UINT16, 1, offsetof(R, step_size), at(10)},
      // (set, level) pairs level by level: bytes 30-31 are level[4].
      {"set", DFNT_UINT16, 5, offsetof(R, set), every(12, 4)},
      {"level", DFNT_UINT16, 5, offsetof(R, level), every(14, 4)},
      {"CEM_set", DFNT_UINT16, 1, offsetof(R, CEM_set), at(32)},
      {"CEM_level", DFNT_UINT16, 1, offsetof(R, CEM_level), at(34)},
      {"AMP_set", DFNT_UINT16, 1, offsetof(R, AMP_set), at(36)},
      {"MON_5V", DFNT_UINT16, 1, offsetof(R, MON_5V), at(38)},
      {"MON_12V", DFNT_UINT16, 1, offsetof(R, MON_12V), at(40)},
      {"SW_status", DFNT_UINT16, 1, offsetof(R, SW_status), at(42)},
      {"CMD_status", DFNT_UINT16, 1, offsetof(R, CMD_status), at(44)},
  };
  return {
      .module = "gem_hk",
      .inst = 1,
      .kind = "hk",
      .apid = 32,
      .handling = Handling::kFixed,
      .record_size = 46,
      .vgroup = "VG_GEM_Housekeeping",
      .vgroup_class = "VG_GEM_HK",
      .vdata = "GEM_Housekeeping",
      .desc_size = 4260,
      .text_size = std::nullopt,
      .fields = fields,
      .sds = {},
      .initialized = "   initialized GEM h/k\n",
      .wrote = "      wrote GEM h/k record\n",
      .accumulated = "",
      .ops = PRODUCT_MODULE_OPS(gem_hk, GEM_Housekeeping),
  };
}

Product gem_mancal() {
  using R = GEM_ManCal;
  return {
      .module = "gem_mancal",
      .inst = 1,
      .kind = "mancal",
      .apid = 33,
      .handling = Handling::kFixed,
      .record_size = 50,
      .vgroup = "VG_GEM_ManCal",
      .vgroup_class = "VG_GEM_MANCAL",
      .vdata = "GEM_ManCal",
      .desc_size = 2246,
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
      // Count of CEM c at level l: byte 14 + 5c + l (byte 48 is counts[6][4]).
      .sds = {{"GEM_ManCal_counts",
               DFNT_UINT8,
               {7, 5},
               offsetof(R, counts),
               [](size_t i) { return 14 + 5 * (i / 5) + i % 5; }}},
      .initialized = "   initialized GEM man/cal\n",
      .wrote = "      wrote GEM man/cal record\n",
      .accumulated = "",
      .ops = PRODUCT_MODULE_OPS(gem_mancal, GEM_ManCal),
      .special = {zeros_but(50, {49})},
  };
}

Product gem_normal() {
  using R = GEM_Normal;
  return {
      .module = "gem_normal",
      .inst = 1,
      .kind = "normal",
      .apid = 31,
      .handling = Handling::kTwoPart,
      .record_size = 3454,
      .vgroup = "VG_GEM_Normal",
      .vgroup_class = "VG_GEM_NORMAL",
      .vdata = "GEM_Normal",
      .desc_size = 2861,
      .text_size = std::nullopt,
      .fields =
          {
              {"APID_status", DFNT_UINT16, 1, offsetof(R, APID_status), at(0)},
              // Spin s in the 12 bytes from 2 + 12s: bytes 6-7 are
              // sclk_subseconds[0], bytes 38-41 sclk_seconds[3].
              {"sclk_seconds", DFNT_UINT32, 4, offsetof(R, sclk_seconds), every(2, 12)},
              {"sclk_subseconds", DFNT_UINT16, 4, offsetof(R, sclk_subseconds), every(6, 12)},
              {"step_time", DFNT_UINT16, 4, offsetof(R, step_time), every(8, 12)},
              {"level", DFNT_UINT16, 4, offsetof(R, level), every(10, 12)},
              {"step_size", DFNT_UINT16, 4, offsetof(R, step_size), every(12, 12)},
              {"integ_time", DFNT_UINT16, 1, offsetof(R, integ_time), at(50)},
              {"settle_time", DFNT_UINT16, 1, offsetof(R, settle_time), at(52)},
              {"ESA_level", DFNT_UINT16, 20, offsetof(R, ESA_level), run(54, DFNT_UINT16)},
          },
      // Count of sector s, CEM c, level l: byte 94 + (7s + c) * 20 + l.
      .sds = {{"GEM_Normal_counts",
               DFNT_UINT8,
               {24, 7, 20},
               offsetof(R, counts),
               [](size_t i) {
                 const size_t s = i / 140, c = i / 20 % 7, l = i % 20;
                 return 94 + (7 * s + c) * 20 + l;
               }}},
      .initialized = "   initialized GEM Normal\n",
      .wrote = "      wrote GEM normal record\n",
      .accumulated = "accumulated GEM normal size %d\n",
      .ops = PRODUCT_MODULE_OPS(gem_normal, GEM_Normal),
  };
}

// Sector i's block of 98 bytes starts at 8 + 98i; its level j group of 18
// bytes at 16 + 98i + 18j. Sector 23: angle at 2268, last count at 2358.
size_t raw_level(size_t i, size_t j) {
  return 16 + 98 * i + 18 * j;
}

Product gem_raw() {
  using R = GEM_Raw;
  return {
      .module = "gem_raw",
      .inst = 1,
      .kind = "raw",
      .apid = 41,
      .handling = Handling::kTwoPart,
      .record_size = 2360,
      .vgroup = "VG_GEM_Raw",
      .vgroup_class = "VG_GEM_RAW",
      .vdata = "GEM_Raw",
      .desc_size = 2333,
      .text_size = std::nullopt,
      .fields =
          {
              {"sclk_seconds", DFNT_UINT32, 1, offsetof(R, sclk_seconds), at(0)},
              {"sclk_subseconds", DFNT_UINT16, 1, offsetof(R, sclk_subseconds), at(4)},
              {"start_req", DFNT_UINT16, 24, offsetof(R, start_req), every(8, 98)},
              {"step_size", DFNT_UINT16, 24, offsetof(R, step_size), every(10, 98)},
              {"step_time", DFNT_UINT16, 24, offsetof(R, step_time), every(12, 98)},
              {"angle", DFNT_UINT16, 24, offsetof(R, angle), every(14, 98)},
          },
      .sds =
          {
              {"GEM_Raw_ESA_set",
               DFNT_UINT16,
               {24, 5},
               offsetof(R, ESA_set),
               [](size_t i) { return raw_level(i / 5, i % 5); }},
              {"GEM_Raw_ESA_level",
               DFNT_UINT16,
               {24, 5},
               offsetof(R, ESA_level),
               [](size_t i) { return raw_level(i / 5, i % 5) + 2; }},
              {"GEM_Raw_counts",
               DFNT_UINT16,
               {24, 5, 7},
               offsetof(R, counts),
               [](size_t i) { return raw_level(i / 35, i / 7 % 5) + 4 + 2 * (i % 7); }},
          },
      .initialized = "   initialized GEM Raw\n",
      .wrote = "      wrote GEM raw record\n",
      .accumulated = "accumulated GEM raw size %d\n",
      .ops = PRODUCT_MODULE_OPS(gem_raw, GEM_Raw),
      .special = {zeros_but(2360, {6, 7})},
  };
}

}  // namespace

std::vector<Product> gem_products() {
  return {gem_hk(), gem_mancal(), gem_normal(), gem_raw()};
}

}  // namespace products
