// hlc_edr_dump: reading the EDR. The products are read through the record
// modules' reading operations only (init_rd_, read_, close_rd_,
// rd_Vgrp_desc_), on a file opened with the H, V, SD and AN interfaces, one
// record at a time; what the modules write on the standard streams meanwhile
// is kept from the terminal, their reports read for the first failure. A
// product is absent, open, or damaged (present but not readable). The only
// source of the dump that includes HDF4's headers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "dump.h"
#include "edr.h"
#include "hdf.h"
#include "mfhdf.h"

namespace hlc_dump {
namespace {

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

}  // namespace

// ---- the EDR file -----------------------------------------------------------

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

Edr::Edr(const std::string &path, const Input &input) : path_(path) {
  {
    Redirect quiet(2, false);
    file_ = Hopen(path.c_str(), DFACC_READ, 0);
  }
  if (file_ == -1) {
    die(path + (input.signature ? " is a damaged or truncated HDF4 file" : " is not an HDF4 file"));
  }
  if (Vstart(file_) == -1) {
    Hclose(file_);
    die(path + ": the HDF4 Vgroup interface cannot be started on it");
  }
  // Without the SD interface, products without SDS are still readable.
  Redirect quiet(2, false);
  sd_ = SDstart(path.c_str(), DFACC_READ);
}

Edr::~Edr() {
  if (sd_ != -1) SDend(sd_);
  Vend(file_);
  Hclose(file_);
}

// ---- a product's table --------------------------------------------------------

Table::Table(const Edr &edr, const Product &p)
    : edr_(edr), p_(p), record_((p.record_size + 7) / 8) {
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

Table::~Table() {
  if (open_) p_.close_rd();
}

void Table::require_open() const {
  if (damaged()) die(damage());
  if (!open_) die(edr_.path() + " has no product " + p_.module);
}

const unsigned char *Table::try_read(int32_t position) {
  if (p_.read(record_.data(), position) != 0) {
    why_ = "record " + std::to_string(position) + " cannot be read";
    return nullptr;
  }
  return reinterpret_cast<const unsigned char *>(record_.data());
}

const unsigned char *Table::read(int32_t position) {
  const unsigned char *r = try_read(position);
  if (r == nullptr) die(damage());
  return r;
}

std::string require_description(const Edr &edr, const Product &p, Table &t) {
  std::string why;
  std::string text = description(edr, p, why);
  if (text.empty()) {
    t.set_damaged("its description cannot be read" + (why.empty() ? "" : " (" + why + ")"));
    die(t.damage());
  }
  return text;
}

}  // namespace hlc_dump
