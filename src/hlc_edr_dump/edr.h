// hlc_edr_dump: an EDR as the dump reads it, through the record modules'
// reading operations (edr.cpp). The layout of every product and what each of
// its members means come from the modules' descriptors (hlc_edr_layout.h),
// which need no HDF4 header; nor does this header, so that the sources of the
// dump that do not read the file themselves, the netCDF-4 export among them,
// are compiled without HDF4's headers (whose netCDF-2 declarations would
// clash with netCDF's own).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

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

// What is known of the input before the HDF4 library sees it.
struct Input {
  off_t size;
  bool signature;  // it begins with the HDF4 file signature
};

// Only a regular file is read: the HDF4 library's own open of a FIFO would
// wait for a writer forever, and other kinds of file are no EDR either.
// Ends the run with a message for any other.
Input examine(const std::string &path);

// The EDR open with the H, V and SD interfaces (the SD interface may fail to
// start: products without SDS are still readable), or the end of the run.
class Edr {
 public:
  Edr(const std::string &path, const Input &input);
  ~Edr();
  Edr(const Edr &) = delete;
  Edr &operator=(const Edr &) = delete;

  const std::string &path() const { return path_; }
  int32_t file() const { return file_; }
  int32_t sd() const { return sd_; }

 private:
  std::string path_;
  int32_t file_ = -1;
  int32_t sd_ = -1;
};

// One product's table, open for reading through its module. A product is
// absent when the file holds none of its objects; it is damaged when it
// holds some but they cannot be opened or read.
class Table {
 public:
  Table(const Edr &edr, const Product &p);
  ~Table();
  Table(const Table &) = delete;
  Table &operator=(const Table &) = delete;

  bool open() const { return open_ && why_.empty(); }
  bool damaged() const { return !why_.empty(); }
  int32_t count() const { return count_; }
  std::string damage() const {
    return edr_.path() + ": product " + p_.module + " is damaged: " + why_;
  }
  void set_damaged(const std::string &why) { why_ = why; }

  // Ends the run with a message unless the table is open.
  void require_open() const;

  // Record `position`, read at that position (the module's own read
  // position is shared by the whole process, so no read relies on it); null
  // when it cannot be read, which damages the product.
  const unsigned char *try_read(int32_t position);
  // The same, or the end of the run.
  const unsigned char *read(int32_t position);

 private:
  const Edr &edr_;
  const Product &p_;
  bool open_ = false;
  int32_t count_ = 0;
  std::string why_;             // what damages the product
  std::vector<double> record_;  // the record structure, aligned for any member
};

// The description of an open product, as its module reads the stored text,
// or the end of the run.
std::string require_description(const Edr &edr, const Product &p, Table &t);

}  // namespace hlc_dump
