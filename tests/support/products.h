// The products of the EDR as the system defines them: for each one its APID,
// how its records arrive, its names in the file, and for every value of the
// record the place it comes from in the record's packet bytes (the offset
// tables of the products). The product tests read every EDR against these
// tables, independently of the record modules' own layouts; only the
// record structure of the module's header is used, to check what the
// module's reading operations give back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <optional>
#include <string>
#include <vector>

#include "harness.h"
#include "hdfi.h"
#include "tlm_builder.h"

namespace products {

enum class Handling { kFixed, kTwoPart, kThreePart };

// Where element i (flattened, last index fastest) of a field or an SDS comes
// from: the offset of its first byte in the record's packet bytes. The value
// is big-endian there; float32 values are the four bytes bit for bit.
using Source = std::function<size_t(size_t i)>;

// A field of the Vdata table.
struct Field {
  std::string name;
  int32 type;     // DFNT_UINT8, DFNT_UINT16, DFNT_UINT32 or DFNT_FLOAT32
  int32 order;    // number of values
  size_t member;  // offset of the field in the record structure of the header
  Source source;
};

// An SDS of count data, one slab per record.
struct Sds {
  std::string name;
  int32 type;
  std::vector<int32> dims;  // the fixed dimensions after the unlimited one
  size_t member;            // offset of the array in the record structure
  Source source;
  size_t values() const;
};

// The module's operations, as seen by a reading program.
struct ModuleOps {
  size_t record_size;  // sizeof the record structure
  int32 (*init_rd)(int32, int32, const char *);
  int32 (*read)(void *, int32);
  void (*close_rd)();
  void (*rd_desc)(int32, int32);
  int32 (*wr_desc)(char *);
};

#define PRODUCT_MODULE_OPS(m, R)                                                               \
  ::products::ModuleOps {                                                                      \
    sizeof(R), init_rd_##m, [](void *r, int32 p) { return read_##m(static_cast<R *>(r), p); }, \
        close_rd_##m, rd_Vgrp_desc_##m, wr_Vgrp_desc_##m                                       \
  }

struct Product {
  std::string module;  // "gem_hk"; also the header's name
  int inst;            // instrument code 1-4
  std::string kind;    // "-apid" word
  uint16_t apid;
  Handling handling;
  size_t record_size;  // bytes of one record's packet data
  std::string vgroup, vgroup_class, vdata;
  int32 desc_size;                  // bytes of the description annotation
  std::optional<size_t> text_size;  // characters of its text, where it is fixed
  std::vector<Field> fields;
  std::vector<Sds> sds;
  std::string initialized;  // "   initialized ...\n"
  std::string wrote;        // "      wrote ... record\n"
  std::string accumulated;  // "accumulated ... size %d\n" of segmented products
  ModuleOps ops;
  // Records of packet bytes that the tests add to the generated ones, for
  // values worth a record of their own (float patterns, say).
  std::vector<std::vector<uint8_t>> special{};

  size_t packed_size() const;  // bytes of one Vdata record
};

// Tests name a product by its module.
inline void PrintTo(const Product &p, std::ostream *os) {
  *os << p.module;
}

// ---- offset-table helpers ---------------------------------------------------

// A scalar at `offset`.
Source at(size_t offset);
// Element i at offset + stride * i.
Source every(size_t offset, size_t stride);
// Element i at offset + size * i: values back to back.
Source run(size_t offset, int32 type);

size_t type_size(int32 type);

// The products of each unit; each unit's file adds its own.
std::vector<Product> con_products();
std::vector<Product> gem_products();
std::vector<Product> gim_products();      // housekeeping, mancal, normal
std::vector<Product> gim_seg_products();  // raw and diagnostic
std::vector<Product> mec_products();
std::vector<Product> all_products();

// ---- records and the packets that carry them --------------------------------

using Record = std::vector<uint8_t>;  // one record's packet bytes

// The records of a product's test runs: one of all 0xFF bytes (the largest
// values, NaN patterns for floats), then `randoms` pseudo-random ones, then
// the product's own.
std::vector<Record> records_of(const Product &p, int randoms = 3);

// Adds the packets of records to a run, with the lines the program prints
// for them. Fixed records go two to the first packet and one to each later
// one; two-part records are split at various points; three-part records
// have one to three middle segments, and the second record's counts wrap
// from 16383 to 0.
class Feeder {
 public:
  explicit Feeder(harness::Script &s) : s_(s) {}
  // The records of one product, record r at packet time t0 + r.
  void add(const Product &p, const std::vector<Record> &recs, uint32_t t0);
  // A packet of another unit, passed over without a message.
  void foreign(uint16_t apid, uint32_t seconds);

 private:
  void add(const tlm::Packet &pkt);
  harness::Script &s_;
  bool opened_ = false;
  uint16_t count_ = 0;
};

// The names of the top-level Vgroups of an EDR, the products' own: the one
// that the SD interface keeps for its SDS (class "CDF0.0") is left out.
std::vector<std::string> product_vgroups(const std::string &path);

}  // namespace products
