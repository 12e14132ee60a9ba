// The table of the products, for programs that read or write EDR files
// generically. Each descriptor is its record module's own (defined in the
// module's source, from the module's layout table); this source only lists
// them, in the order of the build's list of record modules, which writes
// hlc_edr_products.inc: one HLC_EDR_PRODUCT(<module>) a line. Like a module
// object, it needs nothing but libc.
#include <string.h>

#include "hlc_edr_layout.h"

extern "C" {

#define HLC_EDR_PRODUCT(m) extern const hlc_edr_product hlc_edr_product_##m;
#include "hlc_edr_products.inc"
#undef HLC_EDR_PRODUCT

const hlc_edr_product *const hlc_edr_products[] = {
#define HLC_EDR_PRODUCT(m) &hlc_edr_product_##m,
#include "hlc_edr_products.inc"
#undef HLC_EDR_PRODUCT
};
static_assert(sizeof hlc_edr_products / sizeof hlc_edr_products[0] == HLC_EDR_NUM_PRODUCTS,
              "the build's record modules are the products of hlc_edr_layout.h");

const hlc_edr_product *hlc_edr_find_product(const char *module) {
  if (module == nullptr) return nullptr;
  for (const hlc_edr_product *p : hlc_edr_products) {
    if (strcmp(p->module, module) == 0) return p;
  }
  return nullptr;
}

}  // extern "C"
