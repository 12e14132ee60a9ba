// hlc_edr_dump: text output. Standard output through one large buffer (Out),
// integers' digits looked up (Digits), the records of a product as CSV rows
// or JSON Lines objects (Text), and the commands that print: the listing of
// the products in the EDR, a product's records, its stored description, and
// the module names of the registry.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "dump.h"
#include "edr.h"

namespace hlc_dump {
namespace {

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
    const size_t step = last * type_size(m.type);
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

}  // namespace

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
      const Sclk first = r ? sclk_of(*p, r, 0) : Sclk{};
      r = r ? t.try_read(t.count() - 1) : nullptr;
      const Sclk last = r ? sclk_of(*p, r, 0) : Sclk{};
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
  for (int32_t r = 0; r < t.count(); ++r) text.record(out, t.read(r));
  out.finish();
}

void describe(const Edr &edr, const Product &p) {
  Table t(edr, p);
  t.require_open();
  Out out;
  out.put(require_description(edr, p, t));
  out.finish();
}

// The module names, as the registry orders them.
void print_products() {
  Out out;
  for (const Product *p : hlc_edr_products) out.put(std::string(p->module) + '\n');
  out.finish();
}

}  // namespace hlc_dump
