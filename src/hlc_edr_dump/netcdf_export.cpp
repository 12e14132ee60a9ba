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
// What each variable is, its type and its attributes, and the group's
// attributes are the product's CF encoding (hlc_edr_cf.h), which every
// client of the record library shares; this file only writes them.
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
#include "hlc_edr_cf.h"

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

// The CF encoding's number types are netCDF's own codes.
static_assert(HLC_EDR_NC_CHAR == NC_CHAR && HLC_EDR_NC_INT == NC_INT &&
                  HLC_EDR_NC_FLOAT == NC_FLOAT && HLC_EDR_NC_DOUBLE == NC_DOUBLE &&
                  HLC_EDR_NC_UBYTE == NC_UBYTE && HLC_EDR_NC_USHORT == NC_USHORT &&
                  HLC_EDR_NC_UINT == NC_UINT && HLC_EDR_NC_INT64 == NC_INT64,
              "hlc_edr_cf.h's types are netcdf.h's");

// A product's CF description (hlc_edr_cf.h), released with it.
struct CfFree {
  void operator()(hlc_edr_cf_product *d) const { hlc_edr_cf_free(d); }
};
using CfDescription = std::unique_ptr<hlc_edr_cf_product, CfFree>;

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
  Writer(int ncid, const ExportInfo &info) : ncid_(ncid), info_(info) {}
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
  // Writes the last records, then the group's attributes.
  bool end_product();
  // Closes the file; the writer must not be used after.
  bool close();
  const std::string &error() const { return error_; }

 private:
  bool ok(int status, const std::string &what) {
    if (status == NC_NOERR) return true;
    error_ = what + ": " + nc_strerror(status);
    return false;
  }
  bool define(Column &c, const std::vector<int> &dims, nc_type type, size_t block_records);
  bool put_attributes(int var, int32_t n, const hlc_edr_cf_attribute *a, const std::string &where);
  // The product's CF description, with its time coverage when `coverage`;
  // null with error() set when it cannot be made.
  hlc_edr_cf_product *describe_product(bool coverage);
  bool flush();
  bool write_block(int half, size_t start, size_t count);

  int ncid_;
  const ExportInfo &info_;
  std::string products_;
  int grp_ = -1;
  const Product *product_ = nullptr;
  CfDescription cf_;
  std::string where_;
  std::vector<Column> columns_;
  size_t block_records_ = 1;
  int filling_ = 0;                        // the block that fills: block[filling_]
  size_t filled_ = 0;                      // records in it
  size_t written_ = 0;                     // records handed to the file
  double sclk_first_ = 0, sclk_last_ = 0;  // the earliest and latest record time
  std::string description_;                // the product's stored text
  std::string error_;                      // set by the thread only while a block is written
  Background background_;
};

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

// Attributes as the CF description states them.
bool Writer::put_attributes(int var, int32_t n, const hlc_edr_cf_attribute *a,
                            const std::string &where) {
  for (int32_t i = 0; i < n; ++i) {
    const std::string what = where + ": attribute " + a[i].name;
    int status;
    if (a[i].type == NC_CHAR) {
      status = nc_put_att_text(grp_, var, a[i].name, std::strlen(a[i].text), a[i].text);
    } else if (a[i].type == NC_FLOAT) {
      // NaN, which a conversion from double would refuse, as itself.
      const std::vector<float> values(a[i].values, a[i].values + a[i].count);
      status = nc_put_att_float(grp_, var, a[i].name, NC_FLOAT, values.size(), values.data());
    } else {
      status = nc_put_att_double(grp_, var, a[i].name, a[i].type, static_cast<size_t>(a[i].count),
                                 a[i].values);
    }
    if (!ok(status, what)) return false;
  }
  return true;
}

bool Writer::begin_product(const Product &p, size_t records, const std::string &description) {
  if (!background_.wait()) return false;
  product_ = &p;
  columns_.clear();
  filled_ = written_ = 0;
  where_ = std::string("group ") + p.module;
  if (!products_.empty()) products_ += ' ';
  products_ += p.module;
  description_ = description;
  cf_.reset(describe_product(false));
  if (!cf_) return false;
  const hlc_edr_cf_product &cf = *cf_;
  if (info_.flat) {
    grp_ = ncid_;
  } else if (!ok(nc_def_grp(ncid_, p.module, &grp_), "creating " + where_)) {
    return false;
  }
  std::vector<int> dim_ids;
  for (int32_t i = 0; i < cf.ndims; ++i) {
    int id = -1;
    const hlc_edr_cf_dimension &d = cf.dims[i];
    if (!ok(nc_def_dim(grp_, d.name, d.size == 0 ? NC_UNLIMITED : static_cast<size_t>(d.size), &id),
            where_ + ": defining dimension " + d.name)) {
      return false;
    }
    dim_ids.push_back(id);
  }

  // The columns, one per variable.
  std::vector<std::vector<int>> dims;
  for (int32_t k = 0; k < cf.nvariables; ++k) {
    const hlc_edr_cf_variable &v = cf.variables[k];
    Column c{-1, Kind::kMember, nullptr, NC_DOUBLE, sizeof(double), {}, {}, v.name};
    std::vector<int> d;
    for (int32_t i = 0; i < v.ndims; ++i) {
      for (int32_t j = 0; j < cf.ndims; ++j) {
        if (std::strcmp(cf.dims[j].name, v.dims[i]) == 0) d.push_back(dim_ids[j]);
      }
      if (i > 0) c.shape.push_back(static_cast<size_t>(v.shape[i]));
    }
    switch (v.source) {
      case HLC_EDR_CF_MEMBER:
        c.member = &p.members[v.member];
        c.mem = nc_type_of(c.member->type);
        c.bytes = c.member->size;
        break;
      case HLC_EDR_CF_SCLK:
        c.kind = Kind::kSclk;
        break;
      case HLC_EDR_CF_SPIN_SCLK:
        c.kind = Kind::kSpinSclk;
        c.bytes = sizeof(double) * static_cast<size_t>(p.spins);
        break;
      default:
        c.kind = Kind::kTime;
        c.bytes = 0;
        break;
    }
    dims.push_back(std::move(d));
    columns_.push_back(std::move(c));
  }

  size_t record_bytes = 0;
  for (const Column &c : columns_) record_bytes += std::max<size_t>(c.bytes, 1);
  block_records_ = std::clamp<size_t>(kBlockBytes / record_bytes, 1, kBlockRecords);
  block_records_ = std::min(block_records_, std::max<size_t>(records, 1));

  for (size_t k = 0; k < columns_.size(); ++k) {
    Column &c = columns_[k];
    const hlc_edr_cf_variable &v = cf.variables[k];
    if (!define(c, dims[k], v.type, block_records_) ||
        !put_attributes(c.varid, v.nattributes, v.attributes, where_ + ": variable " + c.name)) {
      return false;
    }
  }
  for (Column &c : columns_) {
    for (std::vector<unsigned char> &b : c.block) b.resize(c.bytes * block_records_);
  }
  return true;
}

hlc_edr_cf_product *Writer::describe_product(bool coverage) {
  hlc_edr_cf_settings settings{};
  settings.epoch = info_.epoch.empty() ? nullptr : info_.epoch.c_str();
  settings.description = description_.c_str();
  settings.date_created = info_.date_created.c_str();
  settings.history = info_.history.c_str();
  settings.has_coverage = coverage;
  settings.sclk_first = sclk_first_;
  settings.sclk_last = sclk_last_;
  hlc_edr_cf_product *d = hlc_edr_cf_describe(product_, &settings);
  if (d == nullptr) error_ = where_ + ": the CF description could not be made";
  return d;
}

bool Writer::end_product() {
  if (!flush() || !background_.wait()) return false;
  const CfDescription cf(describe_product(written_ > 0));
  return cf && put_attributes(NC_GLOBAL, cf->nattributes, cf->attributes, where_);
}

bool Writer::put_record(const void *record) {
  const unsigned char *r = static_cast<const unsigned char *>(record);
  const double t = sclk_of(*product_, record, 0).value();
  const bool first = written_ + filled_ == 0;
  sclk_first_ = first || t < sclk_first_ ? t : sclk_first_;
  sclk_last_ = first || t > sclk_last_ ? t : sclk_last_;
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
  // One product at the root takes the product's own title, history and
  // making (its group attributes).
  const std::string edr_name = info.edr.substr(info.edr.find_last_of('/') + 1);
  std::vector<std::pair<const char *, std::string>> attributes = {{"Conventions", "CF-1.10"}};
  if (!info.flat) attributes.push_back({"title", "Halcyon EDR " + edr_name});
  attributes.push_back({"source", info.source});
  if (!info.flat) attributes.push_back({"history", info.history});
  attributes.push_back({"source_edr", info.edr});
  if (!info.flat) attributes.push_back({"date_created", info.date_created});
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
