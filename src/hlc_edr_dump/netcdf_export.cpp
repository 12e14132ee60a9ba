// hlc_edr_dump: the netCDF-4 export, following the CF conventions (1.10).
//
// Runs in the reading process: every product that the EDR holds (or the one
// asked for) is read through its table (edr.h) and written record by record
// to the export's work file, which the dump renames to the output once the
// reading process has ended successfully.
//
// One group per product, named after its module. In it the unlimited
// dimension "record" (one per record of the product), one dimension per
// array dimension of the record (named after its constant), the record time
// "sclk" (float64 SCLK seconds, of the first spin for four-spin records) as
// the coordinate of every per-record variable, for four-spin products the
// time of every spin "spin_sclk" as an auxiliary coordinate, with an epoch
// the CF time "time", and one variable per record member with what its
// module's descriptor says it means. The description text is the group's
// attribute "description".
//
// Every value that a record can hold reads as itself through readers that
// mask fill values, the netCDF default ones included: see encoding_of().
//
// Records are gathered in blocks of a few MiB at most and written a block at
// a time, each block a whole chunk of every variable, so that memory stays
// the same however many records a product has and no chunk is compressed
// twice. A block is written (and compressed) on a thread of its own while
// the next one fills; the two threads never call the library at once.
//
// A netCDF-4 file is an HDF5 file, written by the HDF5 library that libnetcdf
// links. That library's report of a failure is kept off the terminal, and the
// errno of a failed write on the file is kept from it: see watch_hdf5().
//
// This file includes netCDF's own header, HDF5's for the types of its error
// interface, and the dump's own headers, which need no HDF4 header; HDF4's
// headers declare the netCDF-2 interface of their own and are kept out of it.
#include <dlfcn.h>
#include <netcdf.h>

#if __has_include(<hdf5/serial/hdf5.h>)
#include <hdf5/serial/hdf5.h>
#else
#include <hdf5.h>
#endif

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dump.h"
#include "edr.h"

namespace hlc_dump {
namespace {

// A block (and a chunk) holds at most this many records, and at most about
// this many bytes.
constexpr size_t kBlockRecords = 1 << 16;
constexpr size_t kBlockBytes = 1 << 20;
// zlib's level: the higher ones cost far more time for little less size.
constexpr int kDeflateLevel = 2;

nc_type nc_type_of(int32_t type) {
  switch (type) {
    case HLC_EDR_UINT8:
      return NC_UBYTE;
    case HLC_EDR_UINT16:
      return NC_USHORT;
    case HLC_EDR_UINT32:
      return NC_UINT;
  }
  return NC_FLOAT;
}

const char *type_word(int32_t type) {
  return type == HLC_EDR_UINT8    ? "uint8"
         : type == HLC_EDR_UINT16 ? "uint16"
         : type == HLC_EDR_UINT32 ? "uint32"
                                  : "float32";
}

// How a member is stored. Readers such as netCDF4-python and ncdump take a
// variable's netCDF default fill value for missing data whenever it has no
// _FillValue of its own (bytes excepted), filled or not. So:
// - a member whose record header gives a range keeps its type, with
//   valid_range and a _FillValue outside the range;
// - an integer member whose every value is valid is stored in the next wider
//   signed type (uint16 in int32, uint32 in int64), whose default fill no
//   value of its own type can equal; hdf4_type names its own type;
// - a uint8 member keeps its type without a fill value (byte types have no
//   default fill);
// - a float32 member keeps its type and every bit of every value, with the
//   _FillValue NaN: any finite value or infinity could stand in a record, so
//   no number can be set aside as fill, and NaN is no number. Readers that
//   mask take NaNs, whatever their payload, as missing; the payloads are
//   kept in the file for readers that do not mask.
struct Encoding {
  nc_type type;  // in the file
  bool widened;
  bool fill;
  double fill_value;
};

double type_max(int32_t type) {
  return type == HLC_EDR_UINT8 ? 255.0 : type == HLC_EDR_UINT16 ? 65535.0 : 4294967295.0;
}

Encoding encoding_of(const Member &m) {
  const nc_type own = nc_type_of(m.type);
  if (m.type == HLC_EDR_FLOAT32) return {NC_FLOAT, false, true, NAN};
  const double max = type_max(m.type);
  if (m.has_valid_range && m.valid_max < max) return {own, false, true, max};
  if (m.has_valid_range && m.valid_min > 0) return {own, false, true, 0};
  if (m.type == HLC_EDR_UINT8) return {own, false, false, 0};
  return {m.type == HLC_EDR_UINT16 ? NC_INT : NC_INT64, true, false, 0};
}

// What a variable of the group holds.
enum class Kind { kMember, kSclk, kSpinSclk, kTime };

// One variable of the current group and its block of values.
struct Column {
  int varid;
  Kind kind;
  const Member *member;                 // for kMember
  nc_type mem;                          // of the values in the block
  size_t bytes;                         // per record
  std::vector<unsigned char> block[2];  // one filling, one being written
  std::vector<size_t> shape;            // after the record dimension
  std::string name;
};

// ---- HDF5 beneath netCDF ------------------------------------------------------
//
// When a call fails, HDF5 prints its whole error stack on standard error
// unless told otherwise. The HDF5 that libnetcdf links is thread-safe, which
// makes that setting one of each thread: netCDF turns the printing off on the
// thread that starts the library only, and a failed write on the writing
// thread would print some thirty lines of HDF5's internals before netCDF's
// own "HDF error". Every thread that calls the library therefore hands HDF5 a
// function of its own for failures. It prints nothing and keeps the errno of
// the first failed system call that the error stack reports: HDF5 records it
// where the call failed, in the text of the innermost error ("file write
// failed: ..., errno = 28, error message = 'No space left on device', ..."),
// of which netCDF passes on only NC_EHDFERR.
//
// The dump links libnetcdf alone, which brings HDF5 in; HDF5's two functions
// are found in the process by name.

// Where the errno is kept: here, or in memory that the dump shares.
static_assert(std::atomic<int>::is_always_lock_free, "an errno shared between processes");
std::atomic<int> g_own_io_errno{0};
std::atomic<int> *g_io_errno = &g_own_io_errno;

herr_t keep_errno(unsigned, const H5E_error2_t *e, void *) {
  const char *at = e->desc != nullptr ? std::strstr(e->desc, "errno = ") : nullptr;
  if (at != nullptr) {
    const int err = std::atoi(at + std::strlen("errno = "));
    int none = 0;
    if (err > 0) g_io_errno->compare_exchange_strong(none, err);
  }
  return 0;
}

herr_t on_hdf5_failure(hid_t stack, void *) {
  static const auto walk = reinterpret_cast<decltype(&H5Ewalk2)>(dlsym(RTLD_DEFAULT, "H5Ewalk2"));
  if (walk != nullptr) walk(stack, H5E_WALK_UPWARD, keep_errno, nullptr);
  return 0;
}

// On the calling thread, once; after netCDF has started HDF5, which sets the
// starting thread's printing as it wants.
void watch_hdf5() {
  thread_local bool watched = false;
  if (watched) return;
  watched = true;
  static const auto set_auto =
      reinterpret_cast<decltype(&H5Eset_auto2)>(dlsym(RTLD_DEFAULT, "H5Eset_auto2"));
  if (set_auto != nullptr) set_auto(H5E_DEFAULT, on_hdf5_failure, nullptr);
}

// The record times, as the export states them.
constexpr char kSclkComment[] =
    "spacecraft clock (SCLK) time as the records hold it: sclk_seconds + sclk_subseconds / "
    "65536; no epoch applied";

// Runs one job at a time on a thread of its own.
class Background {
 public:
  Background() : thread_([this] { run(); }) {}
  ~Background() {
    {
      std::lock_guard<std::mutex> l(m_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  // Waits for the job before; false if any job failed.
  bool wait() {
    std::unique_lock<std::mutex> l(m_);
    cv_.wait(l, [this] { return !job_; });
    return !failed_;
  }
  // Runs `job` once the one before has ended well; false if any failed.
  bool post(std::function<bool()> job) {
    std::unique_lock<std::mutex> l(m_);
    cv_.wait(l, [this] { return !job_; });
    if (failed_) return false;
    job_ = std::move(job);
    cv_.notify_all();
    return true;
  }
  Background(const Background &) = delete;
  Background &operator=(const Background &) = delete;

 private:
  void run() {
    std::unique_lock<std::mutex> l(m_);
    for (;;) {
      cv_.wait(l, [this] { return job_ || stop_; });
      if (!job_) return;
      l.unlock();
      const bool ok = job_();
      l.lock();
      failed_ = failed_ || !ok;
      job_ = nullptr;
      cv_.notify_all();
    }
  }
  std::mutex m_;
  std::condition_variable cv_;
  std::function<bool()> job_;  // set from post until it has run
  bool failed_ = false;
  bool stop_ = false;
  std::thread thread_;
};

// The netCDF-4 file: one group per product, written record by record with
// bounded memory. Every call returns false after a failure and leaves a
// message in error().
class Writer {
 public:
  Writer(int ncid, const ExportInfo &info) : ncid_(ncid), epoch_(info.epoch) {}
  ~Writer() {
    background_.wait();
    if (ncid_ >= 0) nc_close(ncid_);
  }
  Writer(const Writer &) = delete;
  Writer &operator=(const Writer &) = delete;

  // Starts the group of a product of `records` records; `description` is the
  // product's stored text (empty when none could be read: no attribute).
  bool begin_product(const Product &p, size_t records, const std::string &description);
  bool put_record(const void *record);
  bool end_product() { return flush() && background_.wait(); }
  // Closes the file; the writer must not be used after.
  bool close();
  const std::string &error() const { return error_; }

 private:
  bool ok(int status, const std::string &what) {
    if (status == NC_NOERR) return true;
    error_ = what + ": " + nc_strerror(status);
    return false;
  }
  bool text(int var, const char *name, const std::string &value, const std::string &where) {
    return ok(nc_put_att_text(grp_, var, name, value.size(), value.data()),
              where + ": attribute " + name);
  }
  bool dim(const hlc_edr_dim &d, int &id);
  bool define(Column &c, const std::vector<int> &dims, nc_type type, size_t block_records);
  bool describe(const Column &c, const Encoding &e, const std::string &coordinates);
  bool flush();
  bool write_block(int half, size_t start, size_t count);

  int ncid_;
  std::string epoch_;
  std::string products_;
  int grp_ = -1;
  const Product *product_ = nullptr;
  std::string where_;
  std::vector<Column> columns_;
  size_t block_records_ = 1;
  int filling_ = 0;     // the block that fills: block[filling_]
  size_t filled_ = 0;   // records in it
  size_t written_ = 0;  // records handed to the file
  std::string error_;   // set by the thread only while a block is written
  Background background_;
};

bool Writer::dim(const hlc_edr_dim &d, int &id) {
  if (nc_inq_dimid(grp_, d.name, &id) == NC_NOERR) return true;
  return ok(nc_def_dim(grp_, d.name, static_cast<size_t>(d.size), &id),
            where_ + ": defining dimension " + d.name);
}

// The variable of column `c` over `dims`, chunked a block to a chunk and
// compressed, without fill and without a chunk cache.
bool Writer::define(Column &c, const std::vector<int> &dims, nc_type type, size_t block_records) {
  const std::string var = where_ + ": variable " + c.name;
  std::vector<size_t> chunk{block_records};
  chunk.insert(chunk.end(), c.shape.begin(), c.shape.end());
  return ok(nc_def_var(grp_, c.name.c_str(), type, static_cast<int>(dims.size()), dims.data(),
                       &c.varid),
            "defining " + var) &&
         ok(nc_def_var_chunking(grp_, c.varid, NC_CHUNKED, chunk.data()), var + ": chunking") &&
         ok(nc_def_var_deflate(grp_, c.varid, 1, 1, kDeflateLevel), var + ": compression") &&
         ok(nc_def_var_fill(grp_, c.varid, NC_NOFILL, nullptr), var + ": fill") &&
         // Every write is of whole chunks, which go to the file at once; a
         // chunk cache would only hold them, compressed late, in memory.
         ok(nc_set_var_chunk_cache(grp_, c.varid, 1, 1, 1.0f), var + ": chunk cache");
}

// The attributes of a member's variable: what its descriptor says.
bool Writer::describe(const Column &c, const Encoding &e, const std::string &coordinates) {
  const Member &m = *c.member;
  const std::string where = where_ + ": variable " + c.name;
  const int v = c.varid;
  auto typed = [&](const char *name, const std::vector<double> &values) {
    return ok(nc_put_att_double(grp_, v, name, e.type, values.size(), values.data()),
              where + ": attribute " + name);
  };
  if (!text(v, "long_name", m.long_name, where)) return false;
  if (m.units != nullptr && !text(v, "units", m.units, where)) return false;
  if (m.has_valid_range && !typed("valid_range", {m.valid_min, m.valid_max})) return false;
  if (e.fill) {
    const float nan = NAN;
    if (!(e.type == NC_FLOAT ? ok(nc_put_att_float(grp_, v, "_FillValue", NC_FLOAT, 1, &nan),
                                  where + ": attribute _FillValue")
                             : typed("_FillValue", {e.fill_value}))) {
      return false;
    }
  }
  if (m.nflags > 0) {
    const std::vector<double> masks(m.flag_masks, m.flag_masks + m.nflags);
    if (!typed("flag_masks", masks) || !text(v, "flag_meanings", m.flag_meanings, where)) {
      return false;
    }
  }
  if (m.comment != nullptr && !text(v, "comment", m.comment, where)) return false;
  const std::string object = m.sds ? std::string("SDS ") + m.sds
                                   : std::string("Vdata ") + product_->vdata + " field " + m.name;
  return text(v, "coordinates", coordinates, where) && text(v, "hdf4_object", object, where) &&
         (!e.widened || text(v, "hdf4_type", type_word(m.type), where));
}

bool Writer::begin_product(const Product &p, size_t records, const std::string &description) {
  if (!background_.wait()) return false;
  product_ = &p;
  columns_.clear();
  filled_ = written_ = 0;
  where_ = std::string("group ") + p.module;
  if (!products_.empty()) products_ += ' ';
  products_ += p.module;
  if (!ok(nc_def_grp(ncid_, p.module, &grp_), "creating " + where_)) return false;
  int record_dim = -1;
  if (!ok(nc_def_dim(grp_, "record", NC_UNLIMITED, &record_dim),
          where_ + ": defining dimension record") ||
      !text(NC_GLOBAL, "title", p.title, where_) ||
      !text(NC_GLOBAL, "hdf4_vgroup", p.vgroup, where_) ||
      !text(NC_GLOBAL, "hdf4_vdata", p.vdata, where_) ||
      (!description.empty() && !text(NC_GLOBAL, "description", description, where_))) {
    return false;
  }

  // The columns: the times, then every member in the record's order.
  const int spins = p.spins;
  columns_.push_back({-1, Kind::kSclk, nullptr, NC_DOUBLE, sizeof(double), {}, {}, "sclk"});
  int spin_dim = -1;
  if (spins > 1) {
    const hlc_edr_dim &d = p.members[p.sclk_seconds].dims[0];
    if (!dim(d, spin_dim)) return false;
    columns_.push_back({-1,
                        Kind::kSpinSclk,
                        nullptr,
                        NC_DOUBLE,
                        sizeof(double) * static_cast<size_t>(spins),
                        {},
                        {static_cast<size_t>(spins)},
                        "spin_sclk"});
  }
  if (!epoch_.empty()) {
    columns_.push_back({-1, Kind::kTime, nullptr, NC_DOUBLE, 0, {}, {}, "time"});
  }
  std::vector<Encoding> encodings;
  std::vector<std::vector<int>> dims;
  for (int k = 0; k < p.nmembers; ++k) {
    const Member &m = p.members[k];
    Column c{-1, Kind::kMember, &m, nc_type_of(m.type), m.size, {}, {}, m.name};
    std::vector<int> d{record_dim};
    for (int i = 0; i < m.rank; ++i) {
      int id;
      if (!dim(m.dims[i], id)) return false;
      d.push_back(id);
      c.shape.push_back(static_cast<size_t>(m.dims[i].size));
    }
    encodings.push_back(encoding_of(m));
    dims.push_back(std::move(d));
    columns_.push_back(std::move(c));
  }

  size_t record_bytes = 0;
  for (const Column &c : columns_) record_bytes += std::max<size_t>(c.bytes, 1);
  block_records_ = std::clamp<size_t>(kBlockBytes / record_bytes, 1, kBlockRecords);
  block_records_ = std::min(block_records_, std::max<size_t>(records, 1));

  const std::string time_coords = epoch_.empty() ? "sclk" : "sclk time";
  size_t member = 0;
  for (Column &c : columns_) {
    const std::string where = where_ + ": variable " + c.name;
    switch (c.kind) {
      case Kind::kSclk:
        if (!define(c, {record_dim}, NC_DOUBLE, block_records_) ||
            !text(c.varid, "long_name", "SCLK time of the record", where) ||
            !text(c.varid, "units", "s", where) ||
            !text(c.varid, "comment",
                  std::string(kSclkComment) +
                      (spins > 1 ? "; of the first spin: the start of the record" : ""),
                  where)) {
          return false;
        }
        break;
      case Kind::kSpinSclk:
        if (!define(c, {record_dim, spin_dim}, NC_DOUBLE, block_records_) ||
            !text(c.varid, "long_name", "SCLK time of the start of each spin", where) ||
            !text(c.varid, "units", "s", where) || !text(c.varid, "comment", kSclkComment, where)) {
          return false;
        }
        break;
      case Kind::kTime:
        if (!define(c, {record_dim}, NC_DOUBLE, block_records_) ||
            !text(c.varid, "standard_name", "time", where) ||
            !text(c.varid, "long_name", "time of the record from its SCLK time", where) ||
            !text(c.varid, "units", "seconds since " + epoch_, where) ||
            !text(c.varid, "calendar", "standard", where) || !text(c.varid, "axis", "T", where) ||
            !text(c.varid, "comment",
                  "the epoch given to hlc_edr_dump --sclk-epoch plus sclk seconds: a linear "
                  "conversion that applies no clock correction",
                  where)) {
          return false;
        }
        break;
      case Kind::kMember: {
        const Encoding &e = encodings[member];
        const std::vector<int> &d = dims[member++];
        const bool per_spin = spins > 1 && d.size() > 1 && d[1] == spin_dim;
        if (!define(c, d, e.type, block_records_) ||
            !describe(c, e, time_coords + (per_spin ? " spin_sclk" : ""))) {
          return false;
        }
        break;
      }
    }
  }
  for (Column &c : columns_) {
    for (std::vector<unsigned char> &b : c.block) b.resize(c.bytes * block_records_);
  }
  return true;
}

bool Writer::put_record(const void *record) {
  const unsigned char *r = static_cast<const unsigned char *>(record);
  for (Column &c : columns_) {
    unsigned char *to = c.block[filling_].data() + c.bytes * filled_;
    switch (c.kind) {
      case Kind::kMember:
        std::memcpy(to, r + c.member->offset, c.bytes);
        break;
      case Kind::kSclk: {
        const double t = sclk_of(*product_, record, 0).value();
        std::memcpy(to, &t, sizeof t);
        break;
      }
      case Kind::kSpinSclk:
        for (int s = 0; s < product_->spins; ++s) {
          const double t = sclk_of(*product_, record, s).value();
          std::memcpy(to + sizeof t * static_cast<size_t>(s), &t, sizeof t);
        }
        break;
      case Kind::kTime:  // the values of sclk
        break;
    }
  }
  return ++filled_ < block_records_ || flush();
}

int put(int grp, int var, nc_type mem, const size_t *start, const size_t *count, const void *data) {
  switch (mem) {
    case NC_UBYTE:
      return nc_put_vara_uchar(grp, var, start, count, static_cast<const unsigned char *>(data));
    case NC_USHORT:
      return nc_put_vara_ushort(grp, var, start, count, static_cast<const unsigned short *>(data));
    case NC_UINT:
      return nc_put_vara_uint(grp, var, start, count, static_cast<const unsigned int *>(data));
    case NC_FLOAT:
      return nc_put_vara_float(grp, var, start, count, static_cast<const float *>(data));
  }
  return nc_put_vara_double(grp, var, start, count, static_cast<const double *>(data));
}

// Hands the filled block to the thread, once it has written the one before.
bool Writer::flush() {
  if (filled_ == 0) return true;
  const int half = filling_;
  const size_t start = written_, count = filled_;
  if (!background_.post([this, half, start, count] { return write_block(half, start, count); })) {
    return false;
  }
  filling_ ^= 1;
  written_ += filled_;
  filled_ = 0;
  return true;
}

// On the thread: `count` records of block[half], as records start on.
bool Writer::write_block(int half, size_t start, size_t count) {
  watch_hdf5();
  const Column &sclk = columns_.front();
  for (const Column &c : columns_) {
    std::vector<size_t> from(1 + c.shape.size(), 0), n{count};
    from[0] = start;
    n.insert(n.end(), c.shape.begin(), c.shape.end());
    const void *data = (c.kind == Kind::kTime ? sclk : c).block[half].data();
    if (!ok(put(grp_, c.varid, c.mem, from.data(), n.data(), data),
            "writing " + where_ + " variable " + c.name)) {
      return false;
    }
  }
  return true;
}

bool Writer::close() {
  if (!background_.wait()) return false;
  const int id = ncid_;
  ncid_ = -1;
  const int status = nc_put_att_text(id, NC_GLOBAL, "products", products_.size(), products_.data());
  if (status != NC_NOERR) {
    nc_close(id);
    return ok(status, "attribute products");
  }
  return ok(nc_close(id), "closing the netCDF file");
}

// Writes the netCDF-4 file into the regular file open on `fd` (the caller's
// own, which it may replace whole), known as `name` in messages. Null with
// `error` set on failure.
std::unique_ptr<Writer> create_netcdf(int fd, const std::string &name, const ExportInfo &info,
                                      std::string &error) {
  // The library opens files by name only: the name of the open file itself,
  // which no change to the folder can redirect.
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  int ncid = -1;
  int status = nc_initialize();
  if (status != NC_NOERR) {
    error = "cannot start the netCDF library: " + std::string(nc_strerror(status));
    return nullptr;
  }
  watch_hdf5();
  status = nc_create(path.c_str(), NC_NETCDF4 | NC_CLOBBER, &ncid);
  if (status != NC_NOERR) {
    error = "cannot create " + name + ": " + nc_strerror(status);
    return nullptr;
  }
  const std::string edr_name = info.edr.substr(info.edr.find_last_of('/') + 1);
  const std::pair<const char *, std::string> attributes[] = {
      {"Conventions", "CF-1.10"}, {"title", "Halcyon EDR " + edr_name},
      {"source", info.source},    {"history", info.history},
      {"source_edr", info.edr},
  };
  for (const auto &[key, value] : attributes) {
    status = nc_put_att_text(ncid, NC_GLOBAL, key, value.size(), value.data());
    if (status != NC_NOERR) {
      nc_close(ncid);
      error = "writing " + name + ": " + nc_strerror(status);
      return nullptr;
    }
  }
  return std::make_unique<Writer>(ncid, info);
}

// A failure of the netCDF writer: when a write on the file failed beneath it
// (no space left, the file size limit reached), that failure of the output
// `out`, in one line; else the writer's own account.
[[noreturn]] void export_failed(const std::string &out, const std::string &error) {
  const int err = netcdf_io_errno();
  if (err != 0) die("cannot write " + out + ": " + write_failure(err));
  die(error);
}

}  // namespace

int netcdf_io_errno() {
  return g_io_errno->load();
}

void share_netcdf_io_errno(std::atomic<int> *where) {
  g_io_errno = where;
}

void export_netcdf(const Edr &edr, const Product *only, const WorkFile &work,
                   const std::string &out, const ExportInfo &info) {
  std::string error;
  std::unique_ptr<Writer> nc = create_netcdf(work.fd, work.name, info, error);
  if (!nc) export_failed(out, error);
  const auto failed = [&] { export_failed(out, work.name + ": " + nc->error()); };
  int products = 0;
  for (const Product *p : hlc_edr_products) {
    if (only != nullptr && p != only) continue;
    Table t(edr, *p);
    if (only != nullptr || t.damaged()) t.require_open();
    if (!t.open()) continue;
    const std::string text = require_description(edr, *p, t);
    if (!nc->begin_product(*p, static_cast<size_t>(t.count()), text)) failed();
    for (int32_t r = 0; r < t.count(); ++r) {
      if (!nc->put_record(t.read(r))) failed();
    }
    if (!nc->end_product()) failed();
    ++products;
  }
  if (products == 0) die(edr.path() + " holds no product to export");
  if (!nc->close()) failed();
}

}  // namespace hlc_dump
