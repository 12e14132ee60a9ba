// Concentrator housekeeping (APID 25): 52-byte records, sclk_seconds in bytes
// 0-3 and 24 two-byte words after it, stored as received.
#include <cstddef>

#include "con_hk_api.h"
#include "hdf.h"
#include "products.h"

namespace products {

std::vector<Product> con_products() {
  using R = Concentrator_Housekeeping;
  std::vector<Field> fields = {{"sclk_seconds", DFNT_UINT32, 1, offsetof(R, sclk_seconds), at(0)}};
  const char *const words[] = {
      "sclk_subseconds", "APID_status",  "elec_req",     "accel_req",        "rej_req",
      "elec_level",      "accel_level",  "rej_level",    "elec_set",         "accel_set",
      "rej_set",         "MON_5V",       "MON_12V",      "elec_fault_count", "accel_fault_count",
      "rej_fault_count", "elec_maximum", "elec_minimum", "accel_maximum",    "accel_minimum",
      "rej_maximum",     "rej_minimum",  "SW_status",    "CMD_status"};
  // The structure holds the 24 words back to back after sclk_seconds.
  for (size_t k = 0; k < 24; ++k) {
    fields.push_back(
        {words[k], DFNT_UINT16, 1, offsetof(R, sclk_subseconds) + 2 * k, at(4 + 2 * k)});
  }
  return {{
      .module = "con_hk",
      .inst = 3,
      .kind = "hk",
      .apid = 25,
      .handling = Handling::kFixed,
      .record_size = 52,
      .vgroup = "VG_Concentrator_Housekeeping",
      .vgroup_class = "VG_CON_HK",
      .vdata = "Concentrator_Housekeeping",
      .desc_size = 4889,
      .text_size = 4809,
      .fields = fields,
      .sds = {},
      .initialized = "   initialized Concentrator h/k\n",
      .wrote = "      wrote Concentrator h/k record\n",
      .accumulated = "",
      .ops = PRODUCT_MODULE_OPS(con_hk, Concentrator_Housekeeping),
  }};
}

}  // namespace products
