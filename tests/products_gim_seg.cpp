// GIM raw and diagnostic products: their layouts as the design states them.
#include "products.h"

namespace products {

std::vector<Product> gim_seg_products() {
  return {};
}

}  // namespace products
