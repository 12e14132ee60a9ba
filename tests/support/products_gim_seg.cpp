// GIM raw (APID 42) and diagnostic (APID 34) products: records of three or
// more segments, their layouts stated here apart from the record modules.
#include <cstddef>

#include "gim_diag_api.h"
#include "gim_raw_api.h"
#include "hdf.h"
#include "products.h"

namespace products {

namespace {

// GIM raw: an 8-byte head, then 40 sector blocks of 208 bytes: start_req,
// step_size, step_time, angle, then 10 level blocks of 20 bytes (ESA_set,
// ESA_level, 8 counts). Bytes 6-7 are read into nothing.
Product gim_raw() {
  using R = GIM_Raw;
  // Element i of a [sector][level] array.
  auto per_level = [](size_t offset) {
    return [offset](size_t i) { return offset + 208 * (i / 10) + 20 * (i % 10); };
  };
  // The count of sector a, level v, CEM c.
  Source counts = [](size_t i) {
    const size_t a = i / 80, v = i / 8 % 10, c = i % 8;
    return 20 + 208 * a + 20 * v + 2 * c;
  };
  // A record whose every two-byte word holds its own word number, so that a
  // value taken from the wrong place shows where it came from.
  std::vector<uint8_t> numbered(8328);
  for (size_t w = 0; w < numbered.size() / 2; ++w) {
    numbered[2 * w] = static_cast<uint8_t>(w >> 8);
    numbered[2 * w + 1] = static_cast<uint8_t>(w);
  }
  return {
      .module = "gim_raw",
      .inst = 2,
      .kind = "raw",
      .apid = 42,
      .handling = Handling::kThreePart,
      .record_size = 8328,
      .vgroup = "VG_GIM_Raw",
      .vgroup_class = "VG_GIM_RAW",
      .vdata = "GIM_Raw",
      .desc_size = 2333,
      .text_size = std::nullopt,
      .fields = {{"sclk_seconds", DFNT_UINT32, 1, offsetof(R, sclk_seconds), at(0)},
                 {"sclk_subseconds", DFNT_UINT16, 1, offsetof(R, sclk_subseconds), at(4)},
                 {"start_req", DFNT_UINT16, 40, offsetof(R, start_req), every(8, 208)},
                 {"step_size", DFNT_UINT16, 40, offsetof(R, step_size), every(10, 208)},
                 {"step_time", DFNT_UINT16, 40, offsetof(R, step_time), every(12, 208)},
                 {"angle", DFNT_UINT16, 40, offsetof(R, angle), every(14, 208)}},
      .sds = {{"GIM_Raw_ESA_set", DFNT_UINT16, {40, 10}, offsetof(R, ESA_set), per_level(16)},
              {"GIM_Raw_ESA_level", DFNT_UINT16, {40, 10}, offsetof(R, ESA_level), per_level(18)},
              {"GIM_Raw_counts", DFNT_UINT16, {40, 10, 8}, offsetof(R, counts), counts}},
      .initialized = "   initialized GIM Raw\n",
      .wrote = "      wrote GIM raw record\n",
      .accumulated = "accumulated GIM raw size %d\n",
      .ops = PRODUCT_MODULE_OPS(gim_raw, GIM_Raw),
      .special = {numbered},
  };
}

// GIM diagnostic: the status word, four spins of 12 bytes (seconds,
// subseconds, step time, level, step size), integ_time at 50, settle_time
// at 52, 40 ESA levels from 54, and the counts from 134, one byte each:
// byte 134 + (sector * 8 + CEM) * 40 + level.
Product gim_diag() {
  using R = GIM_Diagnostic;
  return {
      .module = "gim_diag",
      .inst = 2,
      .kind = "diag",
      .apid = 34,
      .handling = Handling::kThreePart,
      .record_size = 12934,
      .vgroup = "VG_GIM_Diagnostic",
      .vgroup_class = "VG_GIM_DIAG",
      .vdata = "GIM_Diagnostic",
      .desc_size = 2701,
      .text_size = std::nullopt,
      .fields = {{"APID_status", DFNT_UINT16, 1, offsetof(R, APID_status), at(0)},
                 {"sclk_seconds", DFNT_UINT32, 4, offsetof(R, sclk_seconds), every(2, 12)},
                 {"sclk_subseconds", DFNT_UINT16, 4, offsetof(R, sclk_subseconds), every(6, 12)},
                 {"step_time", DFNT_UINT16, 4, offsetof(R, step_time), every(8, 12)},
                 {"level", DFNT_UINT16, 4, offsetof(R, level), every(10, 12)},
                 {"step_size", DFNT_UINT16, 4, offsetof(R, step_size), every(12, 12)},
                 {"integ_time", DFNT_UINT16, 1, offsetof(R, integ_time), at(50)},
                 {"settle_time", DFNT_UINT16, 1, offsetof(R, settle_time), at(52)},
                 {"ESA_level", DFNT_UINT16, 40, offsetof(R, ESA_level), run(54, DFNT_UINT16)}},
      .sds = {{"GIM_Diagnostic_counts",
               DFNT_UINT8,
               {40, 8, 40},
               offsetof(R, counts),
               run(134, DFNT_UINT8)}},
      .initialized = "   initialized GIM Diag.\n",
      .wrote = "      wrote GIM diagnostics record\n",
      .accumulated = "accumulated GIM diag. size %d\n",
      .ops = PRODUCT_MODULE_OPS(gim_diag, GIM_Diagnostic),
  };
}

}  // namespace

std::vector<Product> gim_seg_products() {
  return {gim_raw(), gim_diag()};
}

}  // namespace products
