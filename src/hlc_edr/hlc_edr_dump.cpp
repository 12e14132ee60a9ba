// hlc_edr_dump: looks inside an EDR file and exports its products as CSV,
// JSON Lines or netCDF-4. It reads the products through the record modules'
// reading operations only (init_rd_, read_, close_rd_, rd_Vgrp_desc_), on a
// file opened with the H, V, SD and AN interfaces, one record at a time.
#include <fcntl.h>
#include <signal.h>
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
    "as OUT.nc.tmp and renamed to OUT.nc when complete.\n"
    "\n"
    "Products: gem_hk gem_mancal gem_normal gem_raw gim_hk gim_mancal\n"
    "gim_normal gim_raw gim_diag con_hk mec_hk mec_f1d.\n"
    "\n"
    "Exit status 0 on success, 1 after an \"ERROR: \" message on standard error.\n";

// Ends the run at once: HDF4's own clean-up at exit is skipped, as it would
// walk the structures of a damaged file that the run gave up on.
[[noreturn]] void die(const std::string &message) {
  std::fflush(stdout);
  std::fprintf(stderr, "ERROR: %s\n", message.c_str());
  std::fflush(stderr);
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

class Edr {
 public:
  explicit Edr(const std::string &path) : path_(path) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) die("cannot open " + path + ": " + std::strerror(errno));
    struct stat st {};
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    close(fd);
    if (!regular) die(path + " is not a regular file");
    {
      Redirect quiet(2, false);
      file_ = Hopen(path.c_str(), DFACC_READ, 0);
    }
    if (file_ == -1) die(path + " is not an HDF4 file");
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

// One product's table, open for reading through its module.
class Table {
 public:
  enum State { kOpen, kAbsent, kUnreadable, kDamaged };

  Table(const Edr &edr, const Product &p) : edr_(edr), p_(p), record_((p.record_size + 7) / 8) {
    if (!hlc_dump::tables_match(edr.file(), edr.sd(), p, why_)) {
      state_ = kDamaged;
      return;
    }
    // A product that is not in the file makes its module report the missing
    // table or SDS on standard error; the report only tells how it opened.
    Redirect report(2, true);
    const int32 n = p.ops.init_rd(edr.file(), edr.sd(), "r");
    const bool reported = !report.text().empty();
    if (n > 0 || (n == 0 && !reported)) {
      state_ = kOpen;
      count_ = n;
    } else {
      state_ = n == 0 ? kAbsent : kUnreadable;
      Redirect quiet(2, false);
      p.ops.close_rd();
    }
  }
  ~Table() {
    if (state_ == kOpen) p_.ops.close_rd();
  }
  Table(const Table &) = delete;
  Table &operator=(const Table &) = delete;

  State state() const { return state_; }
  int32 count() const { return count_; }

  // Ends the run with a message unless the table is open.
  void require_open() const {
    if (state_ == kAbsent) die(edr_.path() + " has no product " + p_.module);
    if (state_ == kDamaged) {
      die(edr_.path() + ": product " + p_.module + " cannot be read: " + why_);
    }
    if (state_ == kUnreadable) {
      die(edr_.path() + " has no product " + p_.module + ", or its tables cannot be opened");
    }
  }

  // Record `position`, read at that position: the module's own read position
  // is shared by the whole process, so no read relies on it.
  const unsigned char *read(int32 position) {
    if (p_.ops.read(record_.data(), position) != 0) {
      die(edr_.path() + ": record " + std::to_string(position) + " of " + p_.module +
          " cannot be read");
    }
    return reinterpret_cast<const unsigned char *>(record_.data());
  }

 private:
  const Edr &edr_;
  const Product &p_;
  State state_ = kAbsent;
  int32 count_ = 0;
  std::string why_;
  std::vector<double> record_;  // the record structure, aligned for any member
};

// The product's stored description text, as the module reads it into its
// description buffer (its own printout of the text is not passed on); empty
// when none can be read.
std::string description(const Edr &edr, const Product &p) {
  std::memset(p.desc, 0, p.desc_size);
  const int32 an = ANstart(edr.file());
  if (an == -1) return "";
  {
    Redirect quiet(1, false);
    p.ops.rd_desc(edr.file(), an);  // ends the AN interface
  }
  return std::string(p.desc, strnlen(p.desc, p.desc_size));
}

// ---- commands ---------------------------------------------------------------

void list(const Edr &edr) {
  Out out;
  char line[160];
  std::snprintf(line, sizeof line, "%-10s %9s %13s %16s %13s %16s\n", "product", "records",
                "first_seconds", "first_subseconds", "last_seconds", "last_subseconds");
  out.buf += line;
  for (const Product *p : kProducts) {
    Table t(edr, *p);
    if (t.state() == Table::kDamaged) t.require_open();
    if (t.state() != Table::kOpen) continue;
    if (t.count() == 0) {
      std::snprintf(line, sizeof line, "%-10s %9d %13s %16s %13s %16s\n", p->module, 0, "-", "-",
                    "-", "-");
    } else {
      const hlc_dump::Sclk first = hlc_dump::sclk_of(*p, t.read(0), 0);
      const hlc_dump::Sclk last = hlc_dump::sclk_of(*p, t.read(t.count() - 1), 0);
      std::snprintf(line, sizeof line, "%-10s %9d %13u %16u %13u %16u\n", p->module, t.count(),
                    first.seconds, static_cast<unsigned>(first.subseconds), last.seconds,
                    static_cast<unsigned>(last.subseconds));
    }
    out.buf += line;
  }
  out.finish();
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

void describe(const Edr &edr, const Product &p) {
  {
    Table t(edr, p);
    t.require_open();
  }
  const std::string text = description(edr, p);
  if (text.empty()) die(edr.path() + ": the description of " + p.module + " cannot be read");
  Out out;
  out.buf = text;
  out.finish();
}

bool same_file(const std::string &a, const std::string &b) {
  struct stat sa {
  }, sb{};
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

void export_netcdf(const Edr &edr, const Product *only, const std::string &out) {
  const std::string work = out + ".tmp";
  if (same_file(out, edr.path()) || same_file(work, edr.path())) {
    die("the netCDF output " + out + " would replace the EDR itself");
  }
  std::string error;
  std::unique_ptr<hlc_dump::NetcdfWriter> nc = hlc_dump::create_netcdf(work, edr.path(), error);
  if (!nc) die(error);
  auto discard = [&] {
    nc.reset();
    unlink(work.c_str());
  };
  auto fail = [&](const std::string &message) {
    discard();
    die(message);
  };
  int products = 0;
  for (const Product *p : kProducts) {
    if (only != nullptr && p != only) continue;
    std::string text;
    {
      Table t(edr, *p);
      if ((only != nullptr && t.state() != Table::kOpen) || t.state() == Table::kDamaged) {
        discard();
        t.require_open();
      }
      if (t.state() != Table::kOpen) continue;
      text = description(edr, *p);
      if (!nc->begin_product(*p, static_cast<size_t>(t.count()), text))
        fail(work + ": " + nc->error());
      for (int32 r = 0; r < t.count(); ++r) {
        if (!nc->put_record(t.read(r))) fail(work + ": " + nc->error());
      }
      if (!nc->end_product()) fail(work + ": " + nc->error());
    }
    ++products;
  }
  if (!nc->close()) fail(work + ": " + nc->error());
  nc.reset();
  if (products == 0) fail(edr.path() + " holds no product to export");
  if (std::rename(work.c_str(), out.c_str()) != 0) {
    const std::string why = std::strerror(errno);
    unlink(work.c_str());
    die("cannot rename " + work + " to " + out + ": " + why);
  }
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

  // HDF4 trusts the sizes and places that a file's headers give, and a
  // damaged file can make the library itself fail in ways that no check
  // ahead of it foresees. The file is therefore read in a child process,
  // whose end by a signal this process reports as a damaged file.
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0 || child < 0) {
    Edr edr(args[0]);
    if (to_netcdf) {
      export_netcdf(edr, product, netcdf);
    } else if (product == nullptr) {
      list(edr);
    } else if (describe_it) {
      describe(edr, *product);
    } else {
      dump(edr, *product, format == "jsonl");
    }
    return 0;
  }
  int status = 0;
  while (waitpid(child, &status, 0) == -1 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  const int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  if (sig == SIGPIPE) {  // the reader went away: end as the child did
    signal(SIGPIPE, SIG_DFL);
    raise(SIGPIPE);
  }
  if (to_netcdf) unlink((netcdf + ".tmp").c_str());
  die(args[0] + ": the HDF4 library failed reading it (signal " + std::to_string(sig) +
      "): the file is damaged");
}
