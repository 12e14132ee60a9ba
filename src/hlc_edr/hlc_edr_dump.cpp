// hlc_edr_dump: looks inside an EDR file and exports its products as CSV,
// JSON Lines or netCDF-4. It reads the products through the record modules'
// reading operations only (init_rd_, read_, close_rd_, rd_Vgrp_desc_), on a
// file opened with the H, V, SD and AN interfaces, one record at a time.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "hdf.h"
#include "hlc_edr_dump.h"
#include "mfhdf.h"

namespace {

using hlc_dump::Field;
using hlc_dump::kProducts;
using hlc_dump::Product;
using hlc_dump::Type;

constexpr char kUsage[] =
    "usage: hlc_edr_dump EDR                        list the products of the EDR\n"
    "       hlc_edr_dump EDR PRODUCT [--format csv|jsonl]\n"
    "                                               print every record of PRODUCT\n"
    "       hlc_edr_dump EDR PRODUCT --describe     print PRODUCT's stored description\n"
    "       hlc_edr_dump EDR [PRODUCT] --netcdf OUT.nc\n"
    "                                               export every product (or PRODUCT)\n"
    "                                               to one netCDF-4 file\n"
    "       hlc_edr_dump --help\n";

constexpr char kHelp[] =
    "\n"
    "The listing gives per product its module name, its record count and the\n"
    "record times (sclk_seconds and sclk_subseconds as the records hold them)\n"
    "of the first and the last record; for products whose records cover four\n"
    "spins, the time of each record's first spin.\n"
    "\n"
    "CSV (the default) has a header row of field names; arrays are flattened,\n"
    "last index fastest, with index suffixes: counts[3][2][0]. JSON Lines gives\n"
    "one object per record, arrays nested. Integers print as integers; float32\n"
    "values print with the fewest digits that read back to the same float32\n"
    "(always with a '.' or an exponent, -0.0 kept), and NaN and infinities as\n"
    "NaN, Infinity and -Infinity in both formats: the spelling that Python's\n"
    "float(), csv and json modules, pandas and numpy read. (A NaN's payload\n"
    "bits do not survive text; the netCDF export keeps every bit.)\n"
    "\n"
    "The netCDF-4 file has one group per product, named after its module, with\n"
    "the dimension \"record\", one dimension per array dimension named after\n"
    "its constant (GEM_AZIMUTH_SECTORS, ...), one variable per field and per\n"
    "SDS with its own type (uint8, uint16, uint32, float32), the float64 record\n"
    "time \"sclk\" = seconds + subseconds/65536 (dimensions record and the\n"
    "spins, for four-spin products) as the records' coordinate, and the\n"
    "description text as the group attribute \"description\". It is written\n"
    "under a work name of its own in OUT's folder (OUT.nc.XXXXXX.tmp, created\n"
    "afresh, never through a link) and renamed to OUT.nc only when complete;\n"
    "an export that fails or is interrupted removes it.\n"
    "\n"
    "A product whose Vgroup, Vdata or SDS is in the file but cannot be opened\n"
    "or read, or whose SDS hold another number of records than its Vdata, is\n"
    "damaged: an \"ERROR: \" line names it (the listing lists the readable\n"
    "products first). The file is read in a process of its own, bounded to\n"
    "60 s of CPU time plus 1 s per MiB of the file (less under a lower limit\n"
    "of the dump's own): reading that takes longer is reported as a damaged\n"
    "file. Only regular files are read.\n"
    "\n"
    "Products: gem_hk gem_mancal gem_normal gem_raw gim_hk gim_mancal\n"
    "gim_normal gim_raw gim_diag con_hk mec_hk mec_f1d.\n"
    "\n"
    "Exit status 0 on success, 1 after an \"ERROR: \" message on standard error\n"
    "(a listing without any product too); SIGINT, SIGTERM or SIGHUP end the\n"
    "dump after an \"ERROR: \" line, by the same signal.\n";

// Ends the run at once: HDF4's own clean-up at exit is skipped, as it would
// walk the structures of a damaged file that the run gave up on.
void error_line(const std::string &message) {
  std::fflush(stdout);
  std::fprintf(stderr, "ERROR: %s\n", message.c_str());
  std::fflush(stderr);
}

[[noreturn]] void die(const std::string &message) {
  error_line(message);
  _exit(1);
}

// ---- output -----------------------------------------------------------------

// Standard output through one large buffer; a failed write ends the run.
class Out {
 public:
  std::string buf;
  void flush() {
    if (!buf.empty() && std::fwrite(buf.data(), 1, buf.size(), stdout) != buf.size()) {
      die("writing standard output failed");
    }
    buf.clear();
  }
  void maybe_flush() {
    if (buf.size() >= (1 << 16)) flush();
  }
  void finish() {
    flush();
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) die("writing standard output failed");
  }
};

template <typename T>
void put_int(std::string &s, T v) {
  char b[24];
  s.append(b, std::to_chars(b, b + sizeof b, v).ptr);
}

void put_value(std::string &s, Type t, const unsigned char *p) {
  switch (t) {
    case Type::kU8:
      put_int(s, static_cast<unsigned>(*p));
      return;
    case Type::kU16: {
      uint16_t v;
      std::memcpy(&v, p, 2);
      put_int(s, static_cast<unsigned>(v));
      return;
    }
    case Type::kU32: {
      uint32_t v;
      std::memcpy(&v, p, 4);
      put_int(s, v);
      return;
    }
    case Type::kF32:
      break;
  }
  float v;
  std::memcpy(&v, p, 4);
  if (std::isnan(v)) {
    s += "NaN";
  } else if (std::isinf(v)) {
    s += v < 0 ? "-Infinity" : "Infinity";
  } else {
    char b[32];
    char *end = std::to_chars(b, b + sizeof b, v).ptr;
    s.append(b, end);
    if (std::find_if(b, end, [](char c) { return c == '.' || c == 'e'; }) == end) s += ".0";
  }
}

// JSON: the values of dimension d onwards, nested.
const unsigned char *put_json(std::string &s, const Field &f, int d, const unsigned char *p) {
  if (d >= f.rank || d >= hlc_dump::kMaxRank) {
    put_value(s, f.type, p);
    return p + hlc_dump::type_size(f.type);
  }
  s += '[';
  for (int i = 0; i < f.dims[d].size; ++i) {
    if (i > 0) s += ',';
    p = put_json(s, f, d + 1, p);
  }
  s += ']';
  return p;
}

void csv_header(std::string &s, const Product &p) {
  for (int k = 0; k < p.nfields; ++k) {
    const Field &f = p.fields[k];
    int index[hlc_dump::kMaxRank] = {};
    for (size_t n = 0; n < f.values(); ++n) {
      if (k > 0 || n > 0) s += ',';
      s += f.name;
      for (int d = 0; d < f.rank; ++d) {
        s += '[';
        put_int(s, index[d]);
        s += ']';
      }
      for (int d = f.rank - 1; d >= 0 && ++index[d] == f.dims[d].size; --d) index[d] = 0;
    }
  }
  s += '\n';
}

void csv_record(std::string &s, const Product &p, const unsigned char *r) {
  for (int k = 0; k < p.nfields; ++k) {
    const Field &f = p.fields[k];
    const size_t size = hlc_dump::type_size(f.type);
    for (size_t n = 0; n < f.values(); ++n) {
      if (k > 0 || n > 0) s += ',';
      put_value(s, f.type, r + f.offset + size * n);
    }
  }
  s += '\n';
}

void json_record(std::string &s, const Product &p, const unsigned char *r) {
  s += '{';
  for (int k = 0; k < p.nfields; ++k) {
    const Field &f = p.fields[k];
    if (k > 0) s += ',';
    s += '"';
    s += f.name;
    s += "\":";
    put_json(s, f, 0, r + f.offset);
  }
  s += "}\n";
}

// ---- standard streams around the modules -------------------------------------

// While alive, what is written to file descriptor `fd` goes to a temporary
// file (kept in text()) or, with `keep` false, nowhere.
class Redirect {
 public:
  Redirect(int fd, bool keep) : fd_(fd) {
    std::fflush(fd == 1 ? stdout : stderr);
    sink_ = keep ? std::tmpfile() : std::fopen("/dev/null", "w");
    saved_ = dup(fd);
    if (sink_ == nullptr || saved_ < 0 || dup2(fileno(sink_), fd) < 0) restore();
  }
  ~Redirect() {
    restore();
    if (sink_ != nullptr) std::fclose(sink_);
  }
  // Everything written so far; ends the redirection.
  std::string text() {
    restore();
    std::string t;
    if (sink_ == nullptr) return t;
    std::rewind(sink_);
    char b[4096];
    size_t n;
    while ((n = std::fread(b, 1, sizeof b, sink_)) > 0) t.append(b, n);
    return t;
  }
  Redirect(const Redirect &) = delete;
  Redirect &operator=(const Redirect &) = delete;

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(fd_ == 1 ? stdout : stderr);
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
  }
  int fd_;
  int saved_ = -1;
  std::FILE *sink_ = nullptr;
};

// ---- the EDR file -----------------------------------------------------------

// What is known of the input before the HDF4 library sees it.
struct Input {
  off_t size;
  bool signature;  // it begins with the HDF4 file signature
};

// Only a regular file is read: the HDF4 library's own open of a FIFO would
// wait for a writer forever, and other kinds of file are no EDR either.
Input examine(const std::string &path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) die("cannot open " + path + ": " + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) die(path + " is not a regular file");
  // Opened without waiting, in case it has become something else since.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) die("cannot open " + path + ": " + std::strerror(errno));
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  unsigned char head[4] = {};
  const bool signature = regular && pread(fd, head, sizeof head, 0) == 4 &&
                         std::memcmp(head, "\x0e\x03\x13\x01", sizeof head) == 0;
  close(fd);
  if (!regular) die(path + " is not a regular file");
  return {st.st_size, signature};
}

class Edr {
 public:
  Edr(const std::string &path, const Input &input) : path_(path) {
    {
      Redirect quiet(2, false);
      file_ = Hopen(path.c_str(), DFACC_READ, 0);
    }
    if (file_ == -1) {
      die(path +
          (input.signature ? " is a damaged or truncated HDF4 file" : " is not an HDF4 file"));
    }
    if (Vstart(file_) == -1) {
      Hclose(file_);
      die(path + ": the HDF4 Vgroup interface cannot be started on it");
    }
    // Without the SD interface, products without SDS are still readable.
    Redirect quiet(2, false);
    sd_ = SDstart(path.c_str(), DFACC_READ);
  }
  ~Edr() {
    if (sd_ != -1) SDend(sd_);
    Vend(file_);
    Hclose(file_);
  }
  Edr(const Edr &) = delete;
  Edr &operator=(const Edr &) = delete;

  const std::string &path() const { return path_; }
  int32 file() const { return file_; }
  int32 sd() const { return sd_; }

 private:
  std::string path_;
  int32 file_ = -1;
  int32 sd_ = -1;
};

bool has_sds(const Product &p) {
  return std::any_of(p.fields, p.fields + p.nfields, [](const Field &f) { return f.sds; });
}

// Whether the file holds any object of the product, found by its name through
// the V, VS and SD interfaces, whatever the product's module makes of it.
bool present(const Edr &edr, const Product &p) {
  const std::string vgroup = std::string("VG_") + p.record;
  if (Vfind(edr.file(), vgroup.c_str()) > 0 || VSfind(edr.file(), p.record) > 0) return true;
  for (int k = 0; k < p.nfields && edr.sd() != -1; ++k) {
    const std::string sds = std::string(p.record) + "_" + p.fields[k].name;
    if (p.fields[k].sds && SDnametoindex(edr.sd(), sds.c_str()) != -1) return true;
  }
  return false;
}

// The first failure that a record module reported, without the module's
// file name ("init_acc_gem_normal -> SDnametoindex: Couldn't find ..."), or
// nothing.
std::string first_failure(const std::string &report) {
  const size_t at = report.find("ERROR in  ");
  if (at == std::string::npos) return "";
  const std::string line = report.substr(at, report.find('\n', at) - at);
  const size_t arrow = line.find(" -> ");
  return arrow == std::string::npos ? line : line.substr(arrow + 4);
}

// One product's table, open for reading through its module. A product is
// absent when the file holds none of its objects; it is damaged when it
// holds some but they cannot be opened or read.
class Table {
 public:
  Table(const Edr &edr, const Product &p) : edr_(edr), p_(p), record_((p.record_size + 7) / 8) {
    if (!hlc_dump::tables_match(edr.file(), edr.sd(), p, why_)) return;
    // A product that is not in the file makes its module report the missing
    // table or SDS on standard error; the report tells how it opened.
    Redirect report(2, true);
    const int32 n = p.ops.init_rd(edr.file(), edr.sd(), "r");
    const std::string text = report.text();
    if (n > 0 || (n == 0 && text.empty())) {
      open_ = true;
      count_ = n;
      return;
    }
    {
      Redirect quiet(2, false);
      p.ops.close_rd();
    }
    if (present(edr, p)) {
      why_ = edr.sd() == -1 && has_sds(p) ? "the HDF4 SD interface cannot be started on the file"
                                          : first_failure(text);
      if (why_.empty()) why_ = "its tables cannot be opened";
    }
  }
  ~Table() {
    if (open_) p_.ops.close_rd();
  }
  Table(const Table &) = delete;
  Table &operator=(const Table &) = delete;

  bool open() const { return open_ && why_.empty(); }
  bool damaged() const { return !why_.empty(); }
  int32 count() const { return count_; }
  std::string damage() const {
    return edr_.path() + ": product " + p_.module + " is damaged: " + why_;
  }
  void set_damaged(const std::string &why) { why_ = why; }

  // Ends the run with a message unless the table is open.
  void require_open() const {
    if (damaged()) die(damage());
    if (!open_) die(edr_.path() + " has no product " + p_.module);
  }

  // Record `position`, read at that position (the module's own read
  // position is shared by the whole process, so no read relies on it); null
  // when it cannot be read, which damages the product.
  const unsigned char *try_read(int32 position) {
    if (p_.ops.read(record_.data(), position) != 0) {
      why_ = "record " + std::to_string(position) + " cannot be read";
      return nullptr;
    }
    return reinterpret_cast<const unsigned char *>(record_.data());
  }
  const unsigned char *read(int32 position) {
    const unsigned char *r = try_read(position);
    if (r == nullptr) die(damage());
    return r;
  }

 private:
  const Edr &edr_;
  const Product &p_;
  bool open_ = false;
  int32 count_ = 0;
  std::string why_;             // what damages the product
  std::vector<double> record_;  // the record structure, aligned for any member
};

// The product's stored description text, as the module reads it into its
// description buffer (its own printout of the text is not passed on); empty
// when none can be read, with the module's first failure in `why`.
std::string description(const Edr &edr, const Product &p, std::string &why) {
  std::memset(p.desc, 0, p.desc_size);
  const int32 an = ANstart(edr.file());
  if (an == -1) return "";
  Redirect report(2, true);
  {
    Redirect quiet(1, false);
    p.ops.rd_desc(edr.file(), an);  // ends the AN interface
  }
  why = first_failure(report.text());
  return std::string(p.desc, strnlen(p.desc, p.desc_size));
}

// ---- commands ---------------------------------------------------------------

// The readable products on standard output; then every damaged one, and a
// file without any product, end the run with a message.
void list(const Edr &edr) {
  Out out;
  char line[160];
  std::snprintf(line, sizeof line, "%-10s %9s %13s %16s %13s %16s\n", "product", "records",
                "first_seconds", "first_subseconds", "last_seconds", "last_subseconds");
  out.buf += line;
  std::vector<std::string> damaged;
  int listed = 0;
  for (const Product *p : kProducts) {
    Table t(edr, *p);
    if (t.open() && t.count() == 0) {
      std::snprintf(line, sizeof line, "%-10s %9d %13s %16s %13s %16s\n", p->module, 0, "-", "-",
                    "-", "-");
    } else if (t.open()) {
      const unsigned char *r = t.try_read(0);
      const hlc_dump::Sclk first = r ? hlc_dump::sclk_of(*p, r, 0) : hlc_dump::Sclk{};
      r = r ? t.try_read(t.count() - 1) : nullptr;
      const hlc_dump::Sclk last = r ? hlc_dump::sclk_of(*p, r, 0) : hlc_dump::Sclk{};
      std::snprintf(line, sizeof line, "%-10s %9d %13u %16u %13u %16u\n", p->module, t.count(),
                    first.seconds, static_cast<unsigned>(first.subseconds), last.seconds,
                    static_cast<unsigned>(last.subseconds));
    }
    if (t.damaged()) {
      damaged.push_back(t.damage());
    } else if (t.open()) {
      out.buf += line;
      ++listed;
    }
  }
  out.finish();
  for (size_t k = 0; k + 1 < damaged.size(); ++k) error_line(damaged[k]);
  if (!damaged.empty()) die(damaged.back());
  if (listed == 0) die(edr.path() + " holds no product");
}

void dump(const Edr &edr, const Product &p, bool jsonl) {
  Table t(edr, p);
  t.require_open();
  Out out;
  if (!jsonl) csv_header(out.buf, p);
  for (int32 r = 0; r < t.count(); ++r) {
    const unsigned char *rec = t.read(r);
    if (jsonl) {
      json_record(out.buf, p, rec);
    } else {
      csv_record(out.buf, p, rec);
    }
    out.maybe_flush();
  }
  out.finish();
}

// The description of an open product, or the end of the run.
std::string require_description(const Edr &edr, const Product &p, Table &t) {
  std::string why;
  std::string text = description(edr, p, why);
  if (text.empty()) {
    t.set_damaged("its description cannot be read" + (why.empty() ? "" : " (" + why + ")"));
    die(t.damage());
  }
  return text;
}

void describe(const Edr &edr, const Product &p) {
  Table t(edr, p);
  t.require_open();
  Out out;
  out.buf = require_description(edr, p, t);
  out.finish();
}

bool same_file(const std::string &a, const std::string &b) {
  struct stat sa {
  }, sb{};
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// The netCDF export's work file: a name of its own beside the output, made
// by this run (exclusive creation, never through a link) and open on `fd`.
// It is renamed to the output only when complete, and removed otherwise,
// as long as that name still leads to the file this run made.
struct WorkFile {
  std::string name;
  int fd = -1;

  bool ours() const {
    struct stat named {
    }, made{};
    return fd >= 0 && lstat(name.c_str(), &named) == 0 && fstat(fd, &made) == 0 &&
           S_ISREG(named.st_mode) && named.st_dev == made.st_dev && named.st_ino == made.st_ino;
  }
  void discard() {
    if (ours()) unlink(name.c_str());
    if (fd >= 0) close(fd);
    fd = -1;
  }
  // Moves the complete file to `out`, or ends the run with a message.
  void commit(const std::string &out) {
    if (fsync(fd) != 0) {
      const std::string why = std::strerror(errno);
      discard();
      die("cannot write " + name + ": " + why);
    }
    if (!ours())
      die("the work file " + name + " was replaced by another file; " + out + " is left as it was");
    if (std::rename(name.c_str(), out.c_str()) != 0) {
      const std::string why = std::strerror(errno);
      discard();
      die("cannot rename " + name + " to " + out + ": " + why);
    }
    close(fd);
    fd = -1;
  }
};

WorkFile create_work_file(const std::string &out) {
  static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  WorkFile w;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string suffix;
    for (int k = 0; k < 6; ++k) suffix += kLetters[random() % (sizeof kLetters - 1)];
    w.name = out + "." + suffix + ".tmp";
    w.fd = open(w.name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (w.fd >= 0) return w;
    if (errno != EEXIST) break;
  }
  die("cannot create " + out + ": " + std::strerror(errno));
}

// Runs in the reading process: writes the whole export to the work file,
// which the dump renames once this process has ended successfully.
void export_netcdf(const Edr &edr, const Product *only, const WorkFile &work) {
  std::string error;
  std::unique_ptr<hlc_dump::NetcdfWriter> nc =
      hlc_dump::create_netcdf(work.fd, work.name, edr.path(), error);
  if (!nc) die(error);
  int products = 0;
  for (const Product *p : kProducts) {
    if (only != nullptr && p != only) continue;
    Table t(edr, *p);
    if (only != nullptr || t.damaged()) t.require_open();
    if (!t.open()) continue;
    const std::string text = require_description(edr, *p, t);
    if (!nc->begin_product(*p, static_cast<size_t>(t.count()), text)) {
      die(work.name + ": " + nc->error());
    }
    for (int32 r = 0; r < t.count(); ++r) {
      if (!nc->put_record(t.read(r))) die(work.name + ": " + nc->error());
    }
    if (!nc->end_product()) die(work.name + ": " + nc->error());
    ++products;
  }
  if (products == 0) die(edr.path() + " holds no product to export");
  if (!nc->close()) die(work.name + ": " + nc->error());
}

// ---- the reading process ----------------------------------------------------

// CPU seconds that reading a file may take: far more than any sound EDR
// needs, so that only a file on which the HDF4 library loops reaches it.
constexpr rlim_t kCpuSeconds = 60;
constexpr off_t kBytesPerCpuSecond = 1 << 20;

// The reading process's CPU time limit: soft (SIGXCPU) and hard (SIGKILL),
// under any lower limit that the dump itself runs with.
struct CpuLimit {
  rlim_t soft, hard;
};

CpuLimit cpu_limit(off_t size) {
  rlimit own{};
  getrlimit(RLIMIT_CPU, &own);
  CpuLimit l{kCpuSeconds + static_cast<rlim_t>(size / kBytesPerCpuSecond), 0};
  if (own.rlim_cur != RLIM_INFINITY) l.soft = std::min(l.soft, own.rlim_cur);
  if (own.rlim_max != RLIM_INFINITY)
    l.soft = std::min(l.soft, std::max<rlim_t>(own.rlim_max, 2) - 1);
  l.soft = std::max<rlim_t>(l.soft, 1);
  l.hard = own.rlim_max == RLIM_INFINITY ? l.soft + 5 : own.rlim_max;
  return l;
}

// The signals that end the dump: they end the reading process first.
constexpr int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP};
volatile sig_atomic_t g_signal = 0;
volatile sig_atomic_t g_reader = 0;  // the reading process while it runs

extern "C" void on_end_signal(int sig) {
  g_signal = sig;
  if (g_reader > 0) kill(static_cast<pid_t>(g_reader), SIGKILL);
}

// Blocked while the reading process starts and while it is reaped.
class EndSignals {
 public:
  EndSignals() {
    sigemptyset(&set_);
    for (int sig : kEndSignals) sigaddset(&set_, sig);
    sigprocmask(SIG_BLOCK, &set_, nullptr);
    for (size_t k = 0; k < std::size(kEndSignals); ++k) {
      sigaction(kEndSignals[k], nullptr, &old_[k]);
      if (old_[k].sa_handler == SIG_IGN) continue;  // as the caller wants
      struct sigaction sa {};
      sa.sa_handler = on_end_signal;
      sigemptyset(&sa.sa_mask);
      sa.sa_flags = 0;  // no SA_RESTART: the wait returns
      sigaction(kEndSignals[k], &sa, nullptr);
    }
  }
  void block() { sigprocmask(SIG_BLOCK, &set_, nullptr); }
  void unblock() { sigprocmask(SIG_UNBLOCK, &set_, nullptr); }
  // In the reading process: the dispositions the dump started with.
  void restore() {
    for (size_t k = 0; k < std::size(kEndSignals); ++k)
      sigaction(kEndSignals[k], &old_[k], nullptr);
    unblock();
  }

 private:
  sigset_t set_;
  struct sigaction old_[std::size(kEndSignals)];
};

// The reading process ends with the dump, even one ended by SIGKILL, and
// within its CPU time; it leaves no core file.
void become_reader(EndSignals &signals, pid_t dump, const CpuLimit &limit) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != dump) _exit(1);
  signals.restore();
  const rlimit cpu{limit.soft, limit.hard}, core{0, 0};
  setrlimit(RLIMIT_CPU, &cpu);
  setrlimit(RLIMIT_CORE, &core);
}

std::string signal_name(int sig) {
  const char *abbrev = sigabbrev_np(sig);
  return abbrev ? std::string("SIG") + abbrev : "signal " + std::to_string(sig);
}

// Waits for the reading process; its status.
int wait_for(EndSignals &signals, pid_t reader) {
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(reader), &info, WEXITED | WNOWAIT) == -1 &&
         errno == EINTR) {
  }
  signals.block();
  g_reader = 0;
  int status = 0;
  while (waitpid(reader, &status, 0) == -1 && errno == EINTR) {
  }
  signals.unblock();  // a signal that came meanwhile is taken now
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string> args;
  std::string format = "csv", netcdf;
  bool describe_it = false, to_netcdf = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char *option) {
      if (i + 1 >= argc) die(std::string(option) + " needs a value");
      return std::string(argv[++i]);
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      std::fputs(kHelp, stdout);
      return 0;
    } else if (a == "--format") {
      format = value("--format");
    } else if (a.starts_with("--format=")) {
      format = a.substr(9);
    } else if (a == "--describe") {
      describe_it = true;
    } else if (a == "--netcdf") {
      netcdf = value("--netcdf");
      to_netcdf = true;
    } else if (a.starts_with("--netcdf=")) {
      netcdf = a.substr(9);
      to_netcdf = true;
    } else if (a.size() > 1 && a[0] == '-') {
      std::fputs(kUsage, stderr);
      die("unknown option " + a);
    } else {
      args.push_back(a);
    }
  }
  if (args.empty() || args.size() > 2) {
    std::fputs(kUsage, stderr);
    die(args.empty() ? "no EDR file given" : "too many arguments");
  }
  if (format != "csv" && format != "jsonl") die("unknown format " + format + " (csv or jsonl)");
  if (describe_it && to_netcdf) die("--describe and --netcdf do not go together");
  if (to_netcdf && netcdf.empty()) die("--netcdf needs a file name");
  const Product *product = nullptr;
  if (args.size() == 2) {
    product = hlc_dump::find_product(args[1]);
    if (product == nullptr) {
      std::string names;
      for (const Product *p : kProducts) names += std::string(" ") + p->module;
      die("unknown product " + args[1] + " (one of" + names + ")");
    }
  } else if (describe_it) {
    die("--describe needs a PRODUCT");
  }
  const std::string &path = args[0];
  const Input input = examine(path);
  // From here on an end signal is held until the reading process runs, so
  // that the dump never ends by one without removing its work file.
  EndSignals signals;
  WorkFile work;
  if (to_netcdf) {
    if (same_file(netcdf, path))
      die("the netCDF output " + netcdf + " would replace the EDR itself");
    work = create_work_file(netcdf);
  }

  // HDF4 trusts the sizes and places that a file's headers give, and a
  // damaged file can make the library itself fail, or loop, in ways that no
  // check ahead of it foresees. The file is therefore read in a process of
  // its own, bounded in CPU time, whose end by a signal this process reports
  // as a damaged file.
  const CpuLimit limit = cpu_limit(input.size);
  std::fflush(stdout);
  const pid_t dump_pid = getpid();
  const pid_t reader = fork();
  if (reader == 0) {
    become_reader(signals, dump_pid, limit);
    Edr edr(path, input);
    if (to_netcdf) {
      export_netcdf(edr, product, work);
    } else if (product == nullptr) {
      list(edr);
    } else if (describe_it) {
      describe(edr, *product);
    } else {
      dump(edr, *product, format == "jsonl");
    }
    return 0;
  }
  if (reader < 0) {
    const std::string why = std::strerror(errno);
    work.discard();
    die("cannot start the reading process: " + why);
  }
  g_reader = reader;
  signals.unblock();
  const int status = wait_for(signals, reader);

  if (g_signal != 0) {
    const int sig = g_signal;
    work.discard();
    error_line(path + ": interrupted by " + signal_name(sig));
    signal(sig, SIG_DFL);
    raise(sig);
    _exit(1);
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    if (to_netcdf) work.commit(netcdf);
    return 0;
  }
  work.discard();
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  const int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  if (sig == SIGPIPE) {  // the reader went away: end as the child did
    signal(SIGPIPE, SIG_DFL);
    raise(SIGPIPE);
  }
  if (sig == SIGXCPU) {
    die(path + ": reading it took more than " + std::to_string(limit.soft) +
        " s of CPU time: the file is damaged");
  }
  if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP || sig == SIGKILL || sig == SIGQUIT) {
    die(path + ": reading it was ended by " + signal_name(sig));
  }
  die(path + ": the HDF4 library failed reading it (signal " + std::to_string(sig) +
      "): the file is damaged");
}
