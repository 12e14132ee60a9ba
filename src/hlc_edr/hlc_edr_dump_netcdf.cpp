// hlc_edr_dump: the netCDF-4 export. One group per product, named after its
// module; in it the dimension "record" (one per record of the product), one
// dimension per array dimension of the record (named after its constant),
// one variable per record member with its own type, the record time "sclk"
// (float64 seconds, one or four per record) as the records' coordinate, and
// the description text as the group's attribute "description".
//
// Records are gathered in blocks of at most a few MiB and written a block at a time,
// so that memory stays the same however many records a product has.
//
// This file includes netCDF's own header only; HDF4's headers declare the
// netCDF-2 interface of their own and are kept out of it.
#include <netcdf.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "hlc_edr_dump.h"

namespace hlc_dump {
namespace {

// A block holds at most this many records, and at most about this many bytes.
constexpr size_t kBlockRecords = 4096;
constexpr size_t kBlockBytes = 4 << 20;

nc_type nc_type_of(Type t) {
  switch (t) {
    case Type::kU8:
      return NC_UBYTE;
    case Type::kU16:
      return NC_USHORT;
    case Type::kU32:
      return NC_UINT;
    case Type::kF32:
      break;
  }
  return NC_FLOAT;
}

// One variable of the current group and its block of values.
struct Column {
  int varid;
  const Field *field;  // null for "sclk"
  size_t bytes;        // per record
  std::vector<unsigned char> block;
  std::vector<size_t> shape;  // after the record dimension
};

class Writer final : public NetcdfWriter {
 public:
  explicit Writer(int ncid) : ncid_(ncid) {}
  ~Writer() override {
    if (ncid_ >= 0) nc_close(ncid_);
  }

  bool begin_product(const Product &p, size_t records, const std::string &description) override;
  bool put_record(const void *record) override;
  bool end_product() override { return flush(); }
  bool close() override;
  const std::string &error() const override { return error_; }

 private:
  bool ok(int status, const std::string &what) {
    if (status == NC_NOERR) return true;
    error_ = what + ": " + nc_strerror(status);
    return false;
  }
  bool dim(const Dim &d, int &id);
  bool flush();

  int ncid_;
  int grp_ = -1;
  const Product *product_ = nullptr;
  std::vector<Column> columns_;
  size_t block_records_ = 1;
  size_t filled_ = 0;   // records in the blocks
  size_t written_ = 0;  // records written to the file
  std::string error_;
};

bool Writer::dim(const Dim &d, int &id) {
  if (nc_inq_dimid(grp_, d.name, &id) == NC_NOERR) return true;
  return ok(nc_def_dim(grp_, d.name, static_cast<size_t>(d.size), &id),
            std::string("defining dimension ") + d.name);
}

bool Writer::begin_product(const Product &p, size_t records, const std::string &description) {
  product_ = &p;
  columns_.clear();
  filled_ = written_ = 0;
  const std::string where = std::string("group ") + p.module;
  if (!ok(nc_def_grp(ncid_, p.module, &grp_), "creating " + where)) return false;
  // A product without records gets an unlimited record dimension of length 0.
  int record_dim = -1;
  if (!ok(nc_def_dim(grp_, "record", records > 0 ? records : NC_UNLIMITED, &record_dim),
          where + ": defining dimension record")) {
    return false;
  }
  const std::string vgroup = std::string("VG_") + p.record;
  if (!ok(nc_put_att_text(grp_, NC_GLOBAL, "hdf4_vgroup", vgroup.size(), vgroup.c_str()),
          where + ": attribute hdf4_vgroup")) {
    return false;
  }
  if (!description.empty() &&
      !ok(nc_put_att_text(grp_, NC_GLOBAL, "description", description.size(), description.data()),
          where + ": attribute description")) {
    return false;
  }

  // The record time and the dimensions it spans.
  std::vector<int> sclk_dims{record_dim};
  const int spins = p.spins();
  if (p.sclk_seconds->rank == 1) {
    int id;
    if (!dim(p.sclk_seconds->dims[0], id)) return false;
    sclk_dims.push_back(id);
  }

  size_t record_bytes = 0;
  for (int k = -1; k < p.nfields; ++k) {
    const Field *f = k < 0 ? nullptr : &p.fields[k];
    Column c{-1, f, f ? f->bytes() : sizeof(double) * static_cast<size_t>(spins), {}, {}};
    std::vector<int> dims{record_dim};
    if (f != nullptr) {
      for (int d = 0; d < f->rank; ++d) {
        int id;
        if (!dim(f->dims[d], id)) return false;
        dims.push_back(id);
        c.shape.push_back(static_cast<size_t>(f->dims[d].size));
      }
    } else {
      dims = sclk_dims;
      if (spins > 1) c.shape.push_back(static_cast<size_t>(spins));
    }
    const char *name = f ? f->name : "sclk";
    const std::string var = where + ": variable " + name;
    if (!ok(nc_def_var(grp_, name, f ? nc_type_of(f->type) : NC_DOUBLE,
                       static_cast<int>(dims.size()), dims.data(), &c.varid),
            "defining " + var) ||
        !ok(nc_def_var_fill(grp_, c.varid, NC_NOFILL, nullptr), var)) {
      return false;
    }
    std::string object;
    if (f == nullptr) {
      object = "sclk_seconds + sclk_subseconds / 65536";
      if (!ok(nc_put_att_text(grp_, c.varid, "long_name", object.size(), object.c_str()), var)) {
        return false;
      }
    } else {
      object = f->sds ? "SDS " + std::string(p.record) + "_" + f->name
                      : "Vdata " + std::string(p.record) + " field " + f->name;
      if (!ok(nc_put_att_text(grp_, c.varid, "hdf4_object", object.size(), object.c_str()), var)) {
        return false;
      }
      // "sclk" is a coordinate of every variable that spans its dimensions.
      if (dims.size() >= sclk_dims.size() &&
          std::equal(sclk_dims.begin(), sclk_dims.end(), dims.begin()) &&
          !ok(nc_put_att_text(grp_, c.varid, "coordinates", 4, "sclk"), var)) {
        return false;
      }
    }
    record_bytes += c.bytes;
    columns_.push_back(std::move(c));
  }
  block_records_ = std::clamp<size_t>(kBlockBytes / record_bytes, 1, kBlockRecords);
  block_records_ = std::min(block_records_, std::max<size_t>(records, 1));
  for (Column &c : columns_) c.block.resize(c.bytes * block_records_);
  return true;
}

bool Writer::put_record(const void *record) {
  const unsigned char *r = static_cast<const unsigned char *>(record);
  for (Column &c : columns_) {
    unsigned char *to = c.block.data() + c.bytes * filled_;
    if (c.field != nullptr) {
      std::memcpy(to, r + c.field->offset, c.bytes);
    } else {
      for (int s = 0; s < product_->spins(); ++s) {
        const double t = sclk_of(*product_, record, s).value();
        std::memcpy(to + sizeof t * static_cast<size_t>(s), &t, sizeof t);
      }
    }
  }
  return ++filled_ < block_records_ || flush();
}

bool Writer::flush() {
  if (filled_ == 0) return true;
  for (Column &c : columns_) {
    std::vector<size_t> start(1 + c.shape.size(), 0), count{filled_};
    start[0] = written_;
    count.insert(count.end(), c.shape.begin(), c.shape.end());
    if (!ok(nc_put_vara(grp_, c.varid, start.data(), count.data(), c.block.data()),
            std::string("writing group ") + product_->module + " variable " +
                (c.field ? c.field->name : "sclk"))) {
      return false;
    }
  }
  written_ += filled_;
  filled_ = 0;
  return true;
}

bool Writer::close() {
  const int id = ncid_;
  ncid_ = -1;
  return ok(nc_close(id), "closing the netCDF file");
}

}  // namespace

std::unique_ptr<NetcdfWriter> create_netcdf(int fd, const std::string &name,
                                            const std::string &source, std::string &error) {
  // The library opens files by name only: the name of the open file itself,
  // which no change to the folder can redirect.
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  int ncid = -1;
  int status = nc_create(path.c_str(), NC_NETCDF4 | NC_CLOBBER, &ncid);
  if (status != NC_NOERR) {
    error = "cannot create " + name + ": " + nc_strerror(status);
    return nullptr;
  }
  status = nc_put_att_text(ncid, NC_GLOBAL, "source_edr", source.size(), source.c_str());
  if (status != NC_NOERR) {
    nc_close(ncid);
    error = "writing " + name + ": " + nc_strerror(status);
    return nullptr;
  }
  return std::make_unique<Writer>(ncid);
}

}  // namespace hlc_dump
