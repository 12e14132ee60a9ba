// hlc_edr_dump: looks inside an EDR file and exports its products as CSV,
// JSON Lines or netCDF-4. It reads the products through the record modules'
// reading operations only (init_rd_, read_, close_rd_, rd_Vgrp_desc_), on a
// file opened with the H, V, SD and AN interfaces, one record at a time, and
// takes every product's layout and what its members mean from the modules'
// descriptors (hlc_edr_layout.h).
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <new>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "hdf.h"
#include "hlc_edr_dump.h"
#include "mfhdf.h"

#ifndef HLC_EDR_VERSION
#error "HLC_EDR_VERSION, the project's version, is set by the build"
#endif

namespace {

using hlc_dump::Member;
using hlc_dump::Product;

constexpr char kProgram[] = "hlc_edr_dump";

constexpr char kUsage[] =
    "usage: hlc_edr_dump EDR                        list the products of the EDR\n"
    "       hlc_edr_dump EDR PRODUCT [--format csv|jsonl]\n"
    "                                               print every record of PRODUCT\n"
    "       hlc_edr_dump EDR PRODUCT --describe     print PRODUCT's stored description\n"
    "       hlc_edr_dump EDR [PRODUCT] --netcdf OUT.nc [--sclk-epoch ISO-8601-TIME]\n"
    "                                               export every product (or PRODUCT)\n"
    "                                               to one netCDF-4 file\n"
    "       hlc_edr_dump --help | --version\n";

constexpr char kHelp[] =
    "\n"
    "Options may stand anywhere; \"--\" ends them. An option that does nothing\n"
    "with another (--format with --describe or --netcdf, --sclk-epoch without\n"
    "--netcdf) is refused.\n"
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
    "(always with a '.' or an exponent, -0.0 kept). NaN and infinities print\n"
    "as NaN, Infinity and -Infinity in CSV (what Python's float() and csv,\n"
    "pandas and numpy read) and as the strings \"NaN\", \"Infinity\" and\n"
    "\"-Infinity\" in JSON Lines, which is strict JSON (RFC 8259) that any JSON\n"
    "reader takes. (A NaN's payload bits do not survive text; the netCDF export\n"
    "keeps every bit.)\n"
    "\n"
    "The netCDF-4 file follows the CF conventions 1.10: one group per product,\n"
    "named after its module, with the unlimited dimension \"record\", one\n"
    "dimension per array dimension named after its constant\n"
    "(GEM_AZIMUTH_SECTORS, ...), and one variable per field and per SDS with\n"
    "the long_name, units, valid_range, flag_masks, flag_meanings and comment\n"
    "that the record header gives it. The float64 record time \"sclk\" (units\n"
    "\"s\", SCLK seconds + subseconds/65536 with no epoch applied; for products\n"
    "whose records cover four spins the start of the first spin, with every\n"
    "spin's time in \"spin_sclk\") is the coordinate of every record variable.\n"
    "--sclk-epoch adds the CF time \"time\" (seconds since the epoch, a linear\n"
    "conversion with no clock correction). Every value reads as itself through\n"
    "readers that mask fill values: a field with a stated range has\n"
    "valid_range and a _FillValue outside it; other uint16 and uint32 fields\n"
    "are stored as int32 and int64 (attribute hdf4_type); float32 fields have\n"
    "the _FillValue NaN. The variables are compressed (deflate with shuffle),\n"
    "and the description text is the group attribute \"description\". The file\n"
    "is written under a work name of its own in OUT's folder\n"
    "(OUT.nc.XXXXXX.tmp, created afresh, never through a link) and renamed to\n"
    "OUT.nc only when complete; an export that fails or is interrupted removes\n"
    "it.\n"
    "\n"
    "A product whose Vgroup, Vdata or SDS is in the file but cannot be opened\n"
    "or read, or whose SDS hold another number of records than its Vdata, is\n"
    "damaged: an \"ERROR: \" line names it (the listing lists the readable\n"
    "products first). The file is read in a process of its own, bounded to\n"
    "60 s of CPU time plus 1 s per MiB of the file (less under a lower limit\n"
    "of the dump's own): reading that takes longer is reported as a damaged\n"
    "file. Only regular files are read.\n"
    "\n"
    "A write that fails is the output's failure, never the EDR's: a full disk,\n"
    "or the file size limit (ulimit -f) reached, ends the run with one \"ERROR: \"\n"
    "line that names the output and gives the system's reason (\"cannot write\n"
    "OUT.nc: No space left on device\", \"writing standard output failed: File\n"
    "too large ...\").\n"
    "\n"
    "Products: gem_hk gem_mancal gem_normal gem_raw gim_hk gim_mancal\n"
    "gim_normal gim_raw gim_diag con_hk mec_hk mec_f1d.\n"
    "\n"
    "Exit status 0 on success, 1 after an \"ERROR: \" message on standard error\n"
    "(a listing without any product too); SIGINT, SIGTERM or SIGHUP end the\n"
    "dump after an \"ERROR: \" line, by the same signal.\n";

void error_line(const std::string &message) {
  std::fflush(stdout);
  std::fprintf(stderr, "ERROR: %s\n", message.c_str());
  std::fflush(stderr);
}

// Ends the run at once: HDF4's own clean-up at exit is skipped, as it would
// walk the structures of a damaged file that the run gave up on.
[[noreturn]] void die(const std::string &message) {
  error_line(message);
  _exit(1);
}

// Why a write failed, from its errno: the system's text, and for EFBIG under
// a file size limit (ulimit -f) that limit as the cause.
std::string write_failure(int err) {
  if (err == 0) return "";
  std::string why = std::strerror(err);
  rlimit fsize{};
  if (err == EFBIG && getrlimit(RLIMIT_FSIZE, &fsize) == 0 && fsize.rlim_cur != RLIM_INFINITY) {
    why += " (the file size limit, RLIMIT_FSIZE, was reached)";
  }
  return why;
}

// A mistake in the command line: the usage, then the message.
[[noreturn]] void usage_error(const std::string &message) {
  std::fputs(kUsage, stderr);
  die(message);
}

// ---- output -----------------------------------------------------------------

// Standard output through one large buffer, written into in place: room()
// gives space for at least n more characters; a failed write ends the run.
class Out {
 public:
  Out() : buf_(kSize) {}
  char *room(size_t n) {
    if (used_ + n > buf_.size()) {
      flush();
      if (n > buf_.size()) buf_.resize(n);
    }
    return buf_.data() + used_;
  }
  void commit(const char *end) { used_ = static_cast<size_t>(end - buf_.data()); }
  void put(const std::string &s) {
    char *p = room(s.size());
    commit(std::copy(s.begin(), s.end(), p));
  }
  void finish() {
    flush();
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) failed(errno);
  }

 private:
  static constexpr size_t kSize = 1 << 18;
  void flush() {
    errno = 0;
    if (used_ > 0 && std::fwrite(buf_.data(), 1, used_, stdout) != used_) failed(errno);
    used_ = 0;
  }
  // The errno of the write that failed, taken right after it.
  [[noreturn]] static void failed(int err) {
    const std::string why = write_failure(err);
    die("writing standard output failed" + (why.empty() ? "" : ": " + why));
  }
  std::vector<char> buf_;
  size_t used_ = 0;
};

// The decimal text of every uint16 value, looked up: at most 5 digits in
// the first bytes of an entry, the count of them in its last byte.
class Digits {
 public:
  Digits() : table_(1 << 16) {
    for (uint32_t v = 0; v < table_.size(); ++v) {
      Entry &e = table_[v];
      e.c[7] = static_cast<char>(std::to_chars(e.c, e.c + 7, v).ptr - e.c);
    }
  }
  // Writes v at p, which has room for 8 bytes; the end of the digits.
  char *put(char *p, uint32_t v) const {
    const Entry &e = table_[v];
    std::memcpy(p, e.c, 8);
    return p + e.c[7];
  }

 private:
  struct Entry {
    char c[8];
  };
  std::vector<Entry> table_;
};

// The most characters that one value and its separator take in either text
// form: a float32's shortest form, quoted, or "-Infinity" quoted.
constexpr size_t kValueRoom = 24;

// Writes the n values of type T at v, each followed by `sep`. Non-finite
// float32 values are NaN, Infinity and -Infinity; quoted with `quote`.
template <typename T>
char *put_values(char *p, const Digits &digits, const unsigned char *v, size_t n, char sep,
                 bool quote) {
  for (size_t i = 0; i < n; ++i, v += sizeof(T)) {
    T x;
    std::memcpy(&x, v, sizeof x);
    if constexpr (std::is_same_v<T, float>) {
      if (!std::isfinite(x)) {
        const char *word = std::isnan(x) ? "NaN" : x < 0 ? "-Infinity" : "Infinity";
        if (quote) *p++ = '"';
        p = std::copy(word, word + std::strlen(word), p);
        if (quote) *p++ = '"';
      } else {
        char *start = p;
        p = std::to_chars(p, p + kValueRoom, x).ptr;
        if (std::find_if(start, p, [](char c) { return c == '.' || c == 'e'; }) == p) {
          *p++ = '.';
          *p++ = '0';
        }
      }
    } else if constexpr (sizeof(T) <= 2) {
      p = digits.put(p, x);
    } else {
      p = x < (1u << 16) ? digits.put(p, x) : std::to_chars(p, p + kValueRoom, x).ptr;
    }
    *p++ = sep;
  }
  return p;
}

char *put_values(char *p, const Digits &digits, int32_t type, const unsigned char *v, size_t n,
                 char sep, bool quote) {
  switch (type) {
    case HLC_EDR_UINT8:
      return put_values<uint8_t>(p, digits, v, n, sep, quote);
    case HLC_EDR_UINT16:
      return put_values<uint16_t>(p, digits, v, n, sep, quote);
    case HLC_EDR_UINT32:
      return put_values<uint32_t>(p, digits, v, n, sep, quote);
  }
  return put_values<float>(p, digits, v, n, sep, quote);
}

// A product's records as text: CSV rows or JSON objects, one line each.
class Text {
 public:
  Text(const Product &p, bool json) : p_(p), json_(json) {
    for (int k = 0; k < p.nmembers; ++k) {
      const Member &m = p.members[k];
      room_ += static_cast<size_t>(m.order) * (kValueRoom + 4) + std::strlen(m.name) + 8;
      keys_.push_back(std::string(k ? "," : "{") + "\"" + m.name + "\":");
    }
  }

  void header(Out &out) const {
    std::string s;
    for (int k = 0; k < p_.nmembers; ++k) {
      const Member &m = p_.members[k];
      int index[HLC_EDR_MAX_RANK] = {};
      for (int n = 0; n < m.order; ++n) {
        if (k > 0 || n > 0) s += ',';
        s += m.name;
        for (int d = 0; d < m.rank; ++d) s += '[' + std::to_string(index[d]) + ']';
        for (int d = m.rank - 1; d >= 0 && ++index[d] == m.dims[d].size; --d) index[d] = 0;
      }
    }
    out.put(s + '\n');
  }

  void record(Out &out, const unsigned char *r) const {
    char *p = out.room(room_);
    if (json_) {
      for (int k = 0; k < p_.nmembers; ++k) {
        const std::string &key = keys_[static_cast<size_t>(k)];
        p = std::copy(key.begin(), key.end(), p);
        p = json_member(p, p_.members[k], r + p_.members[k].offset);
      }
      *p++ = '}';
    } else {
      for (int k = 0; k < p_.nmembers; ++k) {
        const Member &m = p_.members[k];
        p = put_values(p, digits_, m.type, r + m.offset, static_cast<size_t>(m.order), ',', false);
      }
      --p;  // the last ','
    }
    *p++ = '\n';
    out.commit(p);
  }

 private:
  // A member in JSON: a value, or arrays nested, last index innermost.
  char *json_member(char *p, const Member &m, const unsigned char *v) const {
    if (m.rank == 0) {
      p = put_values(p, digits_, m.type, v, 1, ',', true);
      return p - 1;
    }
    const int r = std::min(m.rank, HLC_EDR_MAX_RANK);
    const size_t last = static_cast<size_t>(m.dims[r - 1].size);
    const size_t rows = static_cast<size_t>(m.order) / last;
    const size_t step = last * hlc_dump::type_size(m.type);
    int index[HLC_EDR_MAX_RANK] = {};
    p = std::fill_n(p, r, '[');
    for (size_t row = 0; row < rows; ++row, v += step) {
      if (row > 0) {
        // The rows of the dimensions that the row ends close and open again.
        int wrapped = 1;
        for (int d = r - 2; d >= 0 && ++index[d] == m.dims[d].size; --d) {
          index[d] = 0;
          ++wrapped;
        }
        p = std::fill_n(p, wrapped, ']');
        *p++ = ',';
        p = std::fill_n(p, wrapped, '[');
      }
      p = put_values(p, digits_, m.type, v, last, ',', true) - 1;
    }
    return std::fill_n(p, r, ']');
  }

  const Product &p_;
  bool json_;
  size_t room_ = 16;
  std::vector<std::string> keys_;
  Digits digits_;
};

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

// Whether the file holds any object of the product, found by its name through
// the V, VS and SD interfaces, whatever the product's module makes of it.
bool present(const Edr &edr, const Product &p) {
  if (Vfind(edr.file(), p.vgroup) > 0 || VSfind(edr.file(), p.vdata) > 0) return true;
  for (int k = 0; k < p.nmembers && edr.sd() != -1; ++k) {
    const char *sds = p.members[k].sds;
    if (sds != nullptr && SDnametoindex(edr.sd(), sds) != -1) return true;
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
    // A product that is not in the file makes its module report the missing
    // table or SDS on standard error, and one whose table or SDS has another
    // layout than the record's is refused; the report tells how it opened.
    Redirect report(2, true);
    const int32 n = p.init_rd(edr.file(), edr.sd(), "r");
    const std::string text = report.text();
    if (n > 0 || (n == 0 && text.empty())) {
      // The module has compared the table and its SDS with what the file
      // stores, their record counts too.
      open_ = true;
      count_ = n;
      return;
    }
    {
      Redirect quiet(2, false);
      p.close_rd();
    }
    if (present(edr, p)) {
      why_ = edr.sd() == -1 && p.nsds > 0 ? "the HDF4 SD interface cannot be started on the file"
                                          : first_failure(text);
      if (why_.empty()) why_ = "its tables cannot be opened";
    }
  }
  ~Table() {
    if (open_) p_.close_rd();
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
    if (p_.read(record_.data(), position) != 0) {
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
    p.rd_Vgrp_desc(edr.file(), an);  // ends the AN interface
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
  out.put(line);
  std::vector<std::string> damaged;
  int listed = 0;
  for (const Product *p : hlc_edr_products) {
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
      out.put(line);
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
  const Text text(p, jsonl);
  Out out;
  if (!jsonl) text.header(out);
  for (int32 r = 0; r < t.count(); ++r) text.record(out, t.read(r));
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
  out.put(require_description(edr, p, t));
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
      const std::string why = write_failure(errno);
      discard();
      die("cannot write " + out + ": " + why);
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

// A failure of the netCDF writer: when a write on the file failed beneath it
// (no space left, the file size limit reached), that failure of the output
// `out`, in one line; else the writer's own account.
[[noreturn]] void export_failed(const std::string &out, const std::string &error) {
  const int err = hlc_dump::netcdf_io_errno();
  if (err != 0) die("cannot write " + out + ": " + write_failure(err));
  die(error);
}

// Runs in the reading process: writes the whole export to the work file,
// which the dump renames to `out` once this process has ended successfully.
void export_netcdf(const Edr &edr, const Product *only, const WorkFile &work,
                   const std::string &out, const hlc_dump::ExportInfo &info) {
  std::string error;
  std::unique_ptr<hlc_dump::NetcdfWriter> nc =
      hlc_dump::create_netcdf(work.fd, work.name, info, error);
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
    for (int32 r = 0; r < t.count(); ++r) {
      if (!nc->put_record(t.read(r))) failed();
    }
    if (!nc->end_product()) failed();
    ++products;
  }
  if (products == 0) die(edr.path() + " holds no product to export");
  if (!nc->close()) failed();
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

// ---- the command line ----------------------------------------------------------

struct Options {
  std::string edr;
  const Product *product = nullptr;
  bool jsonl = false;
  bool describe = false;
  std::string netcdf;  // empty: no export
  std::string epoch;   // the CF reference time of --sclk-epoch, or empty
};

// An ISO 8601 time, YYYY-MM-DD[Thh:mm[:ss[.fff]]][Z|+hh[:mm]|-hh[:mm]] (a
// blank for the T too), as the CF reference time of the same instant in UTC,
// "YYYY-MM-DD hh:mm:ss[.fff]"; empty if it is none.
std::string cf_epoch(const std::string &iso) {
  size_t at = 0;
  auto number = [&](size_t digits, long &v) {
    if (at + digits > iso.size()) return false;
    v = 0;
    for (size_t i = 0; i < digits; ++i) {
      const char c = iso[at + i];
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
    at += digits;
    return true;
  };
  auto literal = [&](char c) {
    if (at < iso.size() && iso[at] == c) return ++at, true;
    return false;
  };
  long year, month, day, hour = 0, minute = 0, second = 0;
  std::string fraction;
  if (!number(4, year) || !literal('-') || !number(2, month) || !literal('-') || !number(2, day)) {
    return "";
  }
  if (literal('T') || literal(' ')) {
    if (!number(2, hour) || !literal(':') || !number(2, minute)) return "";
    if (literal(':')) {
      if (!number(2, second)) return "";
      if (literal('.') || literal(',')) {
        while (at < iso.size() && iso[at] >= '0' && iso[at] <= '9') fraction += iso[at++];
        if (fraction.empty() || fraction.size() > 9) return "";
      }
    }
  }
  long offset = 0;  // minutes east of UTC
  if (at < iso.size() && (iso[at] == '+' || iso[at] == '-')) {
    const long sign = iso[at++] == '-' ? -1 : 1;
    long oh = 0, om = 0;
    if (!number(2, oh) || oh > 23) return "";
    if (literal(':') ? !number(2, om) : at < iso.size() && !number(2, om)) return "";
    if (om > 59) return "";
    offset = sign * (oh * 60 + om);
  } else {
    literal('Z');
  }
  if (at != iso.size() || year < 1 || month < 1 || month > 12 || hour > 23 || minute > 59 ||
      second > 59) {
    return "";
  }
  static const unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day < 1 || day > kDays[month - 1] || (month == 2 && day == 29 && !leap)) return "";
  // To UTC, by the C library's calendar.
  std::tm local{};
  local.tm_year = static_cast<int>(year - 1900);
  local.tm_mon = static_cast<int>(month - 1);
  local.tm_mday = static_cast<int>(day);
  local.tm_hour = static_cast<int>(hour);
  local.tm_min = static_cast<int>(minute);
  const std::time_t utc_time = timegm(&local) - offset * 60;
  std::tm utc{};
  if (gmtime_r(&utc_time, &utc) == nullptr || utc.tm_year + 1900 < 1 || utc.tm_year + 1900 > 9999) {
    return "";
  }
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02ld%s%s", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, second,
                fraction.empty() ? "" : ".", fraction.c_str());
  return text;
}

// One word of the command line as a POSIX shell reads it back.
std::string shell_word(const std::string &w) {
  const bool plain = !w.empty() && std::all_of(w.begin(), w.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("_./=:,+@%-", c) != nullptr;
  });
  if (plain) return w;
  std::string q = "'";
  for (char c : w) {
    if (c == '\'') {
      q += "'\\''";
    } else {
      q += c;
    }
  }
  q += '\'';
  return q;
}

// "2026-12-08T04:48:00Z hlc_edr_dump EDR --netcdf OUT.nc": when and how.
std::string history(int argc, char **argv) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
  std::string h = when;
  for (int i = 0; i < argc; ++i) {
    h += ' ';
    h += shell_word(argv[i]);
  }
  return h;
}

Options parse_command_line(int argc, char **argv) {
  enum { kFormat = 1, kDescribe, kNetcdf, kEpoch, kVersion };
  static const option kOptions[] = {
      {"format", required_argument, nullptr, kFormat},
      {"describe", no_argument, nullptr, kDescribe},
      {"netcdf", required_argument, nullptr, kNetcdf},
      {"sclk-epoch", required_argument, nullptr, kEpoch},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0},
  };
  Options o;
  std::string format, epoch;
  bool has_format = false, has_epoch = false, has_netcdf = false;
  opterr = 0;  // the messages are the dump's own
  for (int c; (c = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1;) {
    const std::string given = argv[optind - 1];
    switch (c) {
      case kFormat:
        format = optarg;
        has_format = true;
        break;
      case kDescribe:
        o.describe = true;
        break;
      case kNetcdf:
        o.netcdf = optarg;
        has_netcdf = true;
        break;
      case kEpoch:
        epoch = optarg;
        has_epoch = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        std::exit(0);
      case kVersion:
        std::printf("%s %s\n", kProgram, HLC_EDR_VERSION);
        std::exit(0);
      case ':':
        usage_error(given.substr(0, given.find('=')) + " needs a value");
      default:
        usage_error("unknown option " + (optopt != 0 && !given.starts_with("--")
                                             ? std::string("-") + static_cast<char>(optopt)
                                             : given.substr(0, given.find('='))));
    }
  }
  const int args = argc - optind;
  if (args < 1 || args > 2) usage_error(args < 1 ? "no EDR file given" : "too many arguments");
  o.edr = argv[optind];
  if (has_format && format != "csv" && format != "jsonl") {
    usage_error("unknown format " + format + " (csv or jsonl)");
  }
  o.jsonl = format == "jsonl";
  if (o.describe && has_netcdf) usage_error("--describe and --netcdf do not go together");
  if (has_format && (o.describe || has_netcdf)) {
    usage_error(std::string("--format does not go with ") +
                (o.describe ? "--describe" : "--netcdf"));
  }
  if (has_epoch && !has_netcdf) usage_error("--sclk-epoch goes only with --netcdf");
  if (has_netcdf && o.netcdf.empty()) usage_error("--netcdf needs a file name");
  if (has_epoch) {
    o.epoch = cf_epoch(epoch);
    if (o.epoch.empty()) {
      usage_error("--sclk-epoch " + epoch +
                  " is no ISO 8601 time (YYYY-MM-DD[Thh:mm[:ss[.fff]]][Z|+hh:mm|-hh:mm])");
    }
  }
  if (args == 2) {
    o.product = hlc_edr_find_product(argv[optind + 1]);
    if (o.product == nullptr) {
      std::string names;
      for (const Product *p : hlc_edr_products) names += std::string(" ") + p->module;
      die(std::string("unknown product ") + argv[optind + 1] + " (one of" + names + ")");
    }
  } else if (o.describe) {
    usage_error("--describe needs a PRODUCT");
  }
  return o;
}

}  // namespace

int main(int argc, char **argv) {
  const std::string command = history(argc, argv);  // before getopt reorders argv
  const Options o = parse_command_line(argc, argv);
  const std::string &path = o.edr;
  const bool to_netcdf = !o.netcdf.empty();
  const Input input = examine(path);
  // A write past the file size limit (ulimit -f) fails with EFBIG, reported
  // as the output's failure, instead of ending the writing process by
  // SIGXFSZ, which would read as a failure of the HDF4 library on the EDR.
  signal(SIGXFSZ, SIG_IGN);
  // From here on an end signal is held until the reading process runs, so
  // that the dump never ends by one without removing its work file.
  EndSignals signals;
  WorkFile work;
  if (to_netcdf) {
    if (same_file(o.netcdf, path))
      die("the netCDF output " + o.netcdf + " would replace the EDR itself");
    work = create_work_file(o.netcdf);
    // A failed write on the export's file is known here even when the
    // reading process does not live to report it: netCDF's clean-up after
    // a close that failed can end it by a signal.
    void *shared = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared != MAP_FAILED) hlc_dump::share_netcdf_io_errno(new (shared) std::atomic<int>(0));
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
      const hlc_dump::ExportInfo info{path, std::string(kProgram) + " " + HLC_EDR_VERSION, command,
                                      o.epoch};
      export_netcdf(edr, o.product, work, o.netcdf, info);
    } else if (o.product == nullptr) {
      list(edr);
    } else if (o.describe) {
      describe(edr, *o.product);
    } else {
      dump(edr, *o.product, o.jsonl);
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
    if (to_netcdf) work.commit(o.netcdf);
    return 0;
  }
  work.discard();
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  // Ended by a signal after a write on the export's file failed: the
  // output's failure, not the EDR's.
  const int io_errno = to_netcdf ? hlc_dump::netcdf_io_errno() : 0;
  if (io_errno != 0) die("cannot write " + o.netcdf + ": " + write_failure(io_errno));
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
