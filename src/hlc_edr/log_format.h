// The per-record log lines, built without the general printf machinery: a
// run prints one listing line per TLM record, so this is where the log's
// time goes. Every piece gives exactly what the printf conversion named
// beside it gives.
#ifndef HLC_EDR_LOG_FORMAT_H
#define HLC_EDR_LOG_FORMAT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

namespace hlc_log {

// "00", "01", ... "99": numbers are written two digits at a time.
struct DigitPairs {
  char text[200];
  constexpr DigitPairs() : text() {
    for (int i = 0; i < 100; ++i) {
      text[2 * i] = static_cast<char>('0' + i / 10);
      text[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
  }
};
inline constexpr DigitPairs kDigitPairs;

// 1, 10, ... 10^19.
struct PowersOfTen {
  unsigned long long value[20];
  constexpr PowersOfTen() : value() {
    unsigned long long p = 1;
    for (unsigned long long &v : value) {
      v = p;
      p *= 10;  // past 10^19 only after the last
    }
  }
};
inline constexpr PowersOfTen kPowersOfTen;

// Decimal digits of m: about log10 from the bit length, then one compare.
inline int digit_count(unsigned long long m) {
  // m | 1 has the digits of m (no power of ten above 1 is odd) and is not 0.
  const unsigned long long n = m | 1;
  const int t = ((64 - __builtin_clzll(n)) * 1233) >> 12;  // 1233 / 4096 ~ log10(2)
  return t + 1 - (n < kPowersOfTen.value[t] ? 1 : 0);
}

// Writes the digits of m so that they end just before `end`.
template <class U>
inline void digits_before(char *end, U m) {
  while (m >= 100) {
    const U q = m / 100;
    end -= 2;
    memcpy(end, kDigitPairs.text + 2 * (m - 100 * q), 2);
    m = q;
  }
  if (m >= 10) {
    memcpy(end - 2, kDigitPairs.text + 2 * m, 2);
  } else {
    end[-1] = static_cast<char>('0' + m);
  }
}

// The pieces of a line, each written at `at`, each returning where the line
// goes on. A piece may write up to kSlack bytes beyond its end (later pieces
// write over them). The characters are stored once, where they stay, and
// the line is built through a local pointer: its length is kept in no
// variable that the stores of its characters could alias.
constexpr size_t kSlack = 8;

template <size_t N>
inline char *put_text(char *at, const char (&s)[N]) {
  memcpy(at, s, N - 1);
  return at + N - 1;
}

// n > 0 characters c, written eight at a time.
inline char *pad(char *at, char c, int n) {
  for (;;) {
    memset(at, c, 8);
    if (n <= 8) return at + n;
    at += 8;
    n -= 8;
  }
}

// "%<width>llu" of the magnitude m, with a minus sign before it when
// negative, or "%0<width>llu" with zero.
inline char *put_digits(char *at, unsigned long long m, bool negative, int width, bool zero) {
  const int len = digit_count(m);
  const int fill = width - len - (negative ? 1 : 0);
  if (fill > 0 && !zero) at = pad(at, ' ', fill);
  if (negative) *at++ = '-';
  if (fill > 0 && zero) at = pad(at, '0', fill);
  at += len;
  if (m <= UINT32_MAX) {
    digits_before(at, static_cast<uint32_t>(m));
  } else {
    digits_before(at, m);
  }
  return at;
}

// "%<width>lld", or "%0<width>lld" with zero.
inline char *put_num(char *at, long long v, int width = 0, bool zero = false) {
  const bool negative = v < 0;
  // The magnitude, also of the most negative value.
  const unsigned long long m =
      negative ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
  return put_digits(at, m, negative, width, zero);
}

// "%<width>llu".
inline char *put_unum(char *at, unsigned long long v, int width = 0) {
  return put_digits(at, v, false, width, false);
}

// A line of at most kCapacity - kSlack characters.
class Line {
 public:
  static constexpr size_t kCapacity = 256;

  // "%<width>lld", or "%0<width>lld" with zero.
  Line &num(long long v, int width = 0, bool zero = false) {
    return at(put_num(end(), v, width, zero));
  }
  // "%<width>llu".
  Line &unum(unsigned long long v, int width = 0) { return at(put_unum(end(), v, width)); }

  // Where the line ends, and the end moved to `p` (for pieces written there).
  char *end() { return buf_ + n_; }
  Line &at(const char *p) {
    n_ = static_cast<size_t>(p - buf_);
    return *this;
  }

  const char *data() const { return buf_; }
  size_t size() const { return n_; }
  void put(FILE *out) const { fwrite_unlocked(buf_, 1, n_, out); }

 private:
  char buf_[kCapacity];
  size_t n_ = 0;
};

// A number of a line that is printed line after line, kept with its text:
// the value of the line before costs a copy of the text, the next value (a
// record number, a packet counter, a clock) an increment of its last digits;
// any other value is converted.
class Kept {
 public:
  // Room a put may use beyond what it writes (later pieces write over it).
  static constexpr size_t kCopy = 24;
  // "%<width>lld" of v, or "%0<width>lld" with zero, written at `at`.
  char *put(char *at, long long v, int width, bool zero = false) {
    if (!known_ || v != value_) {
      if (!(known_ && value_ >= 0 && v == value_ + 1 && increment())) {
        n_ = static_cast<size_t>(put_num(text_, v, width, zero) - text_);
      }
      value_ = v;
      known_ = true;
    }
    memcpy(at, text_, kCopy);  // whole: the line has room
    return at + n_;
  }

 private:
  // Adds one to the digits; false when the carry runs past them (into a
  // blank of the width, or the start), where the conversion is needed.
  bool increment() {
    for (size_t i = n_; i-- > 0;) {
      if (text_[i] == '9') {
        text_[i] = '0';
      } else if (text_[i] >= '0' && text_[i] < '9') {
        ++text_[i];
        return true;
      } else {
        return false;
      }
    }
    return false;
  }
  bool known_ = false;
  long long value_ = 0;
  size_t n_ = 0;
  // A long long with its sign, padded to a width of at most 10, and the
  // slack of put_num.
  char text_[kCopy + kSlack] = {};
};

// The reader's listing lines of the TLM records:
// "%2d %1d %6d %4ld %10u:%03d (%d/%ld/%ld/%ld) (fill:%d/%ld)\n".
// Each number is kept from line to line (Kept), and what follows the record
// number, the same for all the records of a run of packets of one size and
// framing, is made once and kept while its values stay.
class Listing {
 public:
  Line line(int apid, int flags, int count, long size, unsigned seconds, int subseconds, int record,
            long record_size, long offset, long implied, int fill, long prefill) {
    Line line;
    line.at(write(line.end(), apid, flags, count, size, seconds, subseconds, record, record_size,
                  offset, implied, fill, prefill));
    return line;
  }

  // The line written at `at`, which has room for kRoom characters; gives
  // where it ends.
  static constexpr size_t kRoom = Line::kCapacity;
  char *write(char *p, int apid, int flags, int count, long size, unsigned seconds, int subseconds,
              int record, long record_size, long offset, long implied, int fill, long prefill) {
    p = apid_.put(p, apid, 2);
    *p++ = ' ';
    p = flags_.put(p, flags, 1);
    *p++ = ' ';
    p = count_.put(p, count, 6);
    *p++ = ' ';
    p = size_.put(p, size, 4);
    *p++ = ' ';
    p = seconds_.put(p, seconds, 10);
    *p++ = ':';
    p = subseconds_.put(p, subseconds, 3, true);
    p = put_text(p, " (");
    p = record_.put(p, record, 0);
    const Tail t{record_size, offset, implied, fill, prefill};
    if (!tail_.same(t)) make_tail(t);
    memcpy(p, tail_text_, sizeof tail_text_);  // whole: the line has room
    return p + tail_length_;
  }

 private:
  Kept apid_, flags_, count_, size_, seconds_, subseconds_, record_;
  struct Tail {
    long record_size, offset, implied;
    int fill;
    long prefill;
    bool same(const Tail &o) const {
      return record_size == o.record_size && offset == o.offset && implied == o.implied &&
             fill == o.fill && prefill == o.prefill;
    }
  };

  // "/%ld/%ld/%ld) (fill:%d/%ld)\n": four longs (at most 20 digits and a
  // sign), an int (10 and a sign) and 14 characters.
  static constexpr size_t kTailMax = 4 * 21 + 11 + 14;
  // The head before it: four ints and a long, the seconds, the subseconds
  // and the record number, with their blanks and signs.
  static constexpr size_t kHeadMax = 11 + 1 + 11 + 1 + 11 + 1 + 21 + 1 + 10 + 1 + 11 + 2 + 11;
  static_assert(Line::kCapacity >= kHeadMax + kTailMax + kSlack + Kept::kCopy,
                "a listing line fits its Line");

  void make_tail(const Tail &t) {
    char *p = tail_text_;
    *p++ = '/';
    p = put_num(p, t.record_size);
    *p++ = '/';
    p = put_num(p, t.offset);
    *p++ = '/';
    p = put_num(p, t.implied);
    p = put_text(p, ") (fill:");
    p = put_num(p, t.fill);
    *p++ = '/';
    p = put_num(p, t.prefill);
    p = put_text(p, ")\n");
    tail_length_ = static_cast<size_t>(p - tail_text_);
    tail_ = t;
  }

  // Never a tail of a record: the first line makes its own.
  Tail tail_ = {-1, -1, -1, -1, -1};
  char tail_text_[kTailMax + kSlack] = {};
  size_t tail_length_ = 0;
};

// One listing line on its own.
inline Line listing_line(int apid, int flags, int count, long size, unsigned seconds,
                         int subseconds, int record, long record_size, long offset, long implied,
                         int fill, long prefill) {
  return Listing().line(apid, flags, count, size, seconds, subseconds, record, record_size, offset,
                        implied, fill, prefill);
}

}  // namespace hlc_log

#endif  // HLC_EDR_LOG_FORMAT_H
