#include "products.h"

#include <cstring>

#include "hdf.h"

namespace products {

size_t type_size(int32 type) {
  return type == DFNT_UINT8 ? 1 : type == DFNT_UINT16 ? 2 : 4;
}

size_t Sds::values() const {
  size_t n = 1;
  for (int32 d : dims) n *= static_cast<size_t>(d);
  return n;
}

size_t Product::packed_size() const {
  size_t n = 0;
  for (const Field &f : fields) n += type_size(f.type) * static_cast<size_t>(f.order);
  return n;
}

Source at(size_t offset) {
  return [offset](size_t) { return offset; };
}

Source every(size_t offset, size_t stride) {
  return [offset, stride](size_t i) { return offset + stride * i; };
}

Source run(size_t offset, int32 type) {
  return every(offset, type_size(type));
}

std::vector<Product> all_products() {
  std::vector<Product> all;
  for (auto unit : {gem_products, gim_products, gim_seg_products, con_products, mec_products}) {
    for (Product &p : unit()) all.push_back(std::move(p));
  }
  return all;
}

std::vector<std::string> product_vgroups(const std::string &path) {
  std::vector<std::string> names;
  int32 f = Hopen(path.c_str(), DFACC_READ, 0);
  if (f == -1) return names;
  Vstart(f);
  int32 refs[64];
  const int32 n = Vlone(f, refs, 64);
  for (int32 i = 0; i < n && i < 64; ++i) {
    int32 vg = Vattach(f, refs[i], "r");
    char name[VGNAMELENMAX + 1] = "", cls[VGNAMELENMAX + 1] = "";
    Vgetname(vg, name);
    Vgetclass(vg, cls);
    Vdetach(vg);
    if (strcmp(cls, "CDF0.0") != 0) names.push_back(name);
  }
  Vend(f);
  Hclose(f);
  return names;
}

}  // namespace products
