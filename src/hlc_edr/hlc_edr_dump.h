// hlc_edr_dump: the layout of every product as the dump sees it, and the
// netCDF-4 writer's interface. Nothing here depends on HDF4 or netCDF
// headers, so that the HDF4 side (the record modules, whose headers bring
// HDF4's own netCDF-2 declarations) and the netCDF side are compiled apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace hlc_dump {

enum class Type { kU8, kU16, kU32, kF32 };

constexpr size_t type_size(Type t) {
  return t == Type::kU8 ? 1 : t == Type::kU16 ? 2 : 4;
}

// One array dimension: the constant of hlc_edr_const.h that sizes it.
struct Dim {
  const char *name;  // "GEM_AZIMUTH_SECTORS"
  int size;
};

constexpr int kMaxRank = 3;

// One member of a record structure: a scalar or an array of up to three
// dimensions, last index fastest. `sds` tells whether the file keeps it in
// an SDS ("<Record>_<name>") rather than in the Vdata table.
struct Field {
  const char *name;
  Type type;
  size_t offset;  // offsetof in the record structure
  bool sds;
  int rank;
  Dim dims[kMaxRank];

  constexpr size_t values() const {
    size_t n = 1;
    for (int d = 0; d < rank; ++d) n *= static_cast<size_t>(dims[d].size);
    return n;
  }
  constexpr size_t bytes() const { return values() * type_size(type); }
};

// The reading operations of a record module.
struct ModuleOps {
  int32_t (*init_rd)(int32_t file_id, int32_t sd_id, const char *access);
  int32_t (*read)(void *record, int32_t position);
  void (*close_rd)();
  void (*rd_desc)(int32_t file_id, int32_t an_id);
};

// One product: its module, record structure and where its description
// text lands (the module's description buffer).
struct Product {
  const char *module;  // "gem_normal"
  const char *record;  // record structure = Vdata name, "GEM_Normal"
  size_t record_size;  // sizeof the record structure
  const Field *fields;
  int nfields;
  ModuleOps ops;
  char *desc;  // the module's description buffer
  size_t desc_size;
  // Derived from the fields: the record time, one or four (spins) per record.
  const Field *sclk_seconds;
  const Field *sclk_subseconds;
  constexpr int spins() const { return sclk_seconds->rank == 0 ? 1 : sclk_seconds->dims[0].size; }
};

// The twelve products, in a fixed order (hlc_edr_dump_products.cpp).
constexpr int kNumProducts = 12;
extern const Product *const kProducts[kNumProducts];
const Product *find_product(const std::string &module);

// Record time of spin `s` of a record, as the record holds it.
struct Sclk {
  uint32_t seconds;
  uint16_t subseconds;
  double value() const { return seconds + subseconds / 65536.0; }
};
Sclk sclk_of(const Product &p, const void *record, int spin);

// Whether the table headers of product `p` in the file have the layout that
// its module reads into, and its SDS as many records as its Vdata
// (hlc_edr_dump_check.cpp); `why` says what differs. A product without
// tables matches: its module tells that it is missing.
bool tables_match(int32_t file_id, int32_t sd_id, const Product &p, std::string &why);

// The netCDF-4 export: one group per product, written record by record with
// bounded memory (hlc_edr_dump_netcdf.cpp). Every call returns false after a
// failure and leaves a message in error().
class NetcdfWriter {
 public:
  virtual ~NetcdfWriter() = default;
  // Starts the group of a product of `records` records; `description` is the
  // product's stored text (empty when none could be read: no attribute).
  virtual bool begin_product(const Product &p, size_t records, const std::string &description) = 0;
  virtual bool put_record(const void *record) = 0;
  virtual bool end_product() = 0;
  // Closes the file; the writer must not be used after.
  virtual bool close() = 0;
  virtual const std::string &error() const = 0;
};

// Writes the netCDF-4 file into the regular file open on `fd` (the caller's
// own, which it may replace whole), known as `name` in messages; `source` is
// recorded as the file's attribute "source_edr". Null with `error` set on
// failure.
std::unique_ptr<NetcdfWriter> create_netcdf(int fd, const std::string &name,
                                            const std::string &source, std::string &error);

}  // namespace hlc_dump
