// hlc_edr_dump: the check of a product's tables before its module reads them.
//
// A record module reads a record into buffers of its own layout: a Vdata
// record into a working buffer of the packed record's size, each SDS slab
// into its array of the record structure. HDF4 fills them as the file's own
// table headers describe the fields, so a damaged header (a larger field
// order, a wider number type) would make it write past them. The dump
// therefore first compares those headers with the layout it knows from its
// table of products, and reads nothing from a product whose headers differ.
// Each SDS holds the slab of each Vdata record: a product whose SDS hold
// more or fewer records than its Vdata is refused too. The check reads
// table headers only, never a record.
#include <string>
#include <vector>

#include "hdf.h"
#include "hlc_edr_dump.h"
#include "mfhdf.h"

namespace hlc_dump {
namespace {

int32 number_type(Type t) {
  switch (t) {
    case Type::kU8:
      return DFNT_UINT8;
    case Type::kU16:
      return DFNT_UINT16;
    case Type::kU32:
      return DFNT_UINT32;
    case Type::kF32:
      break;
  }
  return DFNT_FLOAT32;
}

// The Vdata's record, as VSread gives it for the module's fields; `records`
// becomes the Vdata's record count (-1 when there is no table to count).
bool vdata_matches(int32 file, const Product &p, std::string &why, int32 &records) {
  records = -1;
  const int32 ref = VSfind(file, p.record);
  if (ref <= 0) return true;  // no table: the module tells
  const int32 vs = VSattach(file, ref, "r");
  if (vs == -1) return true;  // nor can the module read it
  records = VSelts(vs);
  std::string list;
  size_t size = 0;
  for (int k = 0; k < p.nfields; ++k) {
    if (p.fields[k].sds) continue;
    if (!list.empty()) list += ',';
    list += p.fields[k].name;
    size += p.fields[k].bytes();
  }
  const int32 got = VSsizeof(vs, list.data());
  VSdetach(vs);
  if (got == -1 || static_cast<size_t>(got) == size)
    return true;  // a missing field: the module tells
  why = "its Vdata records are " + std::to_string(got) + " bytes, not " + std::to_string(size);
  return false;
}

// Every SDS: its number type, rank and fixed dimensions, and its record
// count against the Vdata's `records` (when known).
bool sds_match(int32 sd, const Product &p, int32 records, std::string &why) {
  if (sd == -1) return true;
  for (int k = 0; k < p.nfields; ++k) {
    const Field &f = p.fields[k];
    if (!f.sds) continue;
    const std::string name = std::string(p.record) + "_" + f.name;
    const int32 index = SDnametoindex(sd, name.c_str());
    if (index == -1) continue;
    const int32 id = SDselect(sd, index);
    if (id == -1) continue;
    // Room for any rank the file's header may claim (its rank is 16 bits);
    // the name is not asked for.
    std::vector<int32> dims(1 << 16);
    int32 rank = 0, type = 0, attrs = 0;
    const bool info = SDgetinfo(id, nullptr, &rank, dims.data(), &type, &attrs) == 0;
    SDendaccess(id);
    bool same = info && rank == 1 + f.rank && type == number_type(f.type);
    for (int d = 0; same && d < f.rank; ++d) same = dims[d + 1] == f.dims[d].size;
    if (!same) {
      why = "its SDS " + name + " has another number type or shape";
      return false;
    }
    if (records >= 0 && dims[0] != records) {
      why = "its SDS " + name + " holds " + std::to_string(dims[0]) + " records, its Vdata " +
            std::to_string(records);
      return false;
    }
  }
  return true;
}

}  // namespace

bool tables_match(int32_t file, int32_t sd, const Product &p, std::string &why) {
  int32 records = -1;
  return vdata_matches(file, p, why, records) && sds_match(sd, p, records, why);
}

}  // namespace hlc_dump
