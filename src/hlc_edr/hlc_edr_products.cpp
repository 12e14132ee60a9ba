// The table of the twelve products, for programs that read EDR files
// generically. Each descriptor is its record module's own (defined in the
// module's source, from the module's layout table); this source only lists
// them in their fixed order. Like a module object, it needs nothing but libc.
#include <string.h>

#include "hlc_edr_layout.h"

extern "C" {

const hlc_edr_product *const hlc_edr_products[HLC_EDR_NUM_PRODUCTS] = {
    &hlc_edr_product_gem_hk,     &hlc_edr_product_gem_mancal, &hlc_edr_product_gem_normal,
    &hlc_edr_product_gem_raw,    &hlc_edr_product_gim_hk,     &hlc_edr_product_gim_mancal,
    &hlc_edr_product_gim_normal, &hlc_edr_product_gim_raw,    &hlc_edr_product_gim_diag,
    &hlc_edr_product_con_hk,     &hlc_edr_product_mec_hk,     &hlc_edr_product_mec_f1d,
};

const hlc_edr_product *hlc_edr_find_product(const char *module) {
  if (module == nullptr) return nullptr;
  for (const hlc_edr_product *p : hlc_edr_products) {
    if (strcmp(p->module, module) == 0) return p;
  }
  return nullptr;
}

}  // extern "C"
