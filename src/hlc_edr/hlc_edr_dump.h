// hlc_edr_dump: what the reading side and the netCDF-4 writer share. The
// layout of every product and what each of its members means come from the
// record modules' descriptors (hlc_edr_layout.h), which need no HDF4 header;
// nothing here depends on HDF4 or netCDF headers, so that the HDF4 side (the
// record modules, whose headers bring HDF4's own netCDF-2 declarations) and
// the netCDF side are compiled apart.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "hlc_edr_layout.h"

namespace hlc_dump {

using Product = hlc_edr_product;
using Member = hlc_edr_member;

constexpr size_t type_size(int32_t type) {
  return type == HLC_EDR_UINT8 ? 1 : type == HLC_EDR_UINT16 ? 2 : 4;
}

// Record time of spin `s` of a record, as the record holds it.
struct Sclk {
  uint32_t seconds;
  uint16_t subseconds;
  double value() const { return seconds + subseconds / 65536.0; }
};

inline Sclk sclk_of(const Product &p, const void *record, int spin) {
  const unsigned char *r = static_cast<const unsigned char *>(record);
  Sclk t{};
  std::memcpy(&t.seconds, r + p.members[p.sclk_seconds].offset + 4 * static_cast<size_t>(spin), 4);
  std::memcpy(&t.subseconds,
              r + p.members[p.sclk_subseconds].offset + 2 * static_cast<size_t>(spin), 2);
  return t;
}

// What the export records of its own making.
struct ExportInfo {
  std::string edr;      // the EDR file, as named on the command line
  std::string source;   // the program and its version
  std::string history;  // the UTC time and the command line
  std::string epoch;    // the UTC reference time of --sclk-epoch, "" without
};

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

// The errno of the first system call on the netCDF file that failed (a
// write on a full disk, ENOSPC, or past the file size limit, EFBIG), as the
// HDF5 library beneath netCDF records it where the call fails; 0 while none
// has. A failure of the writer after one is that failure's consequence.
int netcdf_io_errno();
// Keeps that errno at `where` (0 there) from now on: memory that the dump
// shares with the process that writes, so that it learns of the failure
// even when that process does not live to report it.
void share_netcdf_io_errno(std::atomic<int> *where);

// Writes the netCDF-4 file into the regular file open on `fd` (the caller's
// own, which it may replace whole), known as `name` in messages. Null with
// `error` set on failure.
std::unique_ptr<NetcdfWriter> create_netcdf(int fd, const std::string &name, const ExportInfo &info,
                                            std::string &error);

}  // namespace hlc_dump
