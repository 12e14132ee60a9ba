// MEC products: their layouts as the design states them.
#include "products.h"

namespace products {

std::vector<Product> mec_products() {
  return {};
}

}  // namespace products
