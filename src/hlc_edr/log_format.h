// The per-record log lines, built without the general printf machinery: a
// run prints one listing line per TLM record, so this is where the log's
// time goes. Every piece gives exactly what the printf conversion named
// beside it gives.
#ifndef HLC_EDR_LOG_FORMAT_H
#define HLC_EDR_LOG_FORMAT_H

#include <stddef.h>
#include <stdint.h>
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

 private:
  char buf_[kCapacity];
  size_t n_ = 0;
};

// The reader's listing lines of the TLM records:
// "%2d %1d %6d %4ld %10u:%03d (%d/%ld/%ld/%ld) (fill:%d/%ld)\n".
// A line is mostly the line before it: the APID, flags, size and what
// follows the record number stay while a run of packets of one kind and
// framing goes on, and the counter, the clock and the record number step by
// one. The last line is kept whole, with the places of the numbers that
// change: a number that stays costs a compare, the next value an increment
// of the last digits in its place, another value of the same width a
// conversion into its place; anything else makes the line anew.
class Listing {
 public:
  // Room that a line written at `at` may take, slack included.
  static constexpr size_t kRoom = Line::kCapacity;

  Line line(int apid, int flags, int count, long size, unsigned seconds, int subseconds, int record,
            long record_size, long offset, long implied, int fill, long prefill) {
    Line line;
    line.at(write(line.end(), apid, flags, count, size, seconds, subseconds, record, record_size,
                  offset, implied, fill, prefill));
    return line;
  }

  // The line written at `at`, which has room for kRoom characters; gives
  // where it ends.
  [[gnu::always_inline]] char *write(char *at, int apid, int flags, int count, long size,
                                     unsigned seconds, int subseconds, int record, long record_size,
                                     long offset, long implied, int fill, long prefill) {
    const Fixed fixed{apid, flags, size, record_size, offset, implied, fill, prefill};
    if (!(known_ && fixed.same(fixed_) && count_.update(text_, count) &&
          seconds_.update(text_, seconds) && subseconds_.update(text_, subseconds) &&
          record_.update(text_, record))) {
      make(fixed, count, seconds, subseconds, record);
    }
    // Copies of a size known when compiled: a short line's first 64
    // characters, or the whole room.
    if (length_ <= 64) {
      memcpy(at, text_, 64);
    } else {
      memcpy(at, text_, sizeof text_);
    }
    return at + length_;
  }

 private:
  // The values that make a line anew when they change.
  struct Fixed {
    int apid, flags;
    long size, record_size, offset, implied;
    int fill;
    long prefill;
    bool same(const Fixed &o) const {
      return apid == o.apid && flags == o.flags && size == o.size && record_size == o.record_size &&
             offset == o.offset && implied == o.implied && fill == o.fill && prefill == o.prefill;
    }
  };

  // A number in its place in the line: `width` characters from `at`, made
  // with printf's width `printed` ("%<printed>lld", zero: "%0<printed>lld").
  struct Place {
    long long value;
    size_t at;
    int width, printed;
    bool zero;

    // Puts v in its place; false when it takes another width.
    [[gnu::always_inline]] bool update(char *text, long long v) {
      if (v == value) return true;
      char *digits = text + at;
      if (value >= 0 && v == value + 1) {
        for (int i = width; i-- > 0;) {
          if (digits[i] == '9') {
            digits[i] = '0';
          } else if (digits[i] >= '0' && digits[i] < '9') {
            ++digits[i];
            value = v;
            return true;
          } else if (digits[i] == ' ') {  // the padding gives way to a digit
            digits[i] = '1';
            value = v;
            return true;
          } else {
            return false;
          }
        }
        return false;  // one digit more than the place has
      }
      char number[32];
      if (put_num(number, v, printed, zero) - number != width) return false;
      memcpy(digits, number, static_cast<size_t>(width));
      value = v;
      return true;
    }
  };

  // Puts v at p with printf's width `printed`, and notes its place.
  char *place(Place &where, char *p, long long v, int printed, bool zero = false) {
    char *end = put_num(p, v, printed, zero);
    where = {v, static_cast<size_t>(p - text_), static_cast<int>(end - p), printed, zero};
    return end;
  }

  void make(const Fixed &f, int count, unsigned seconds, int subseconds, int record) {
    char *p = text_;
    p = put_num(p, f.apid, 2);
    *p++ = ' ';
    p = put_num(p, f.flags, 1);
    *p++ = ' ';
    p = place(count_, p, count, 6);
    *p++ = ' ';
    p = put_num(p, f.size, 4);
    *p++ = ' ';
    p = place(seconds_, p, seconds, 10);
    *p++ = ':';
    p = place(subseconds_, p, subseconds, 3, true);
    p = put_text(p, " (");
    p = place(record_, p, record, 0);
    *p++ = '/';
    p = put_num(p, f.record_size);
    *p++ = '/';
    p = put_num(p, f.offset);
    *p++ = '/';
    p = put_num(p, f.implied);
    p = put_text(p, ") (fill:");
    p = put_num(p, f.fill);
    *p++ = '/';
    p = put_num(p, f.prefill);
    p = put_text(p, ")\n");
    length_ = static_cast<size_t>(p - text_);
    fixed_ = f;
    known_ = true;
  }

  // Four ints, the seconds, the subseconds and the record number (at most
  // 11 characters each), the size (a long, 21), their blanks, " (", the
  // tail "/%ld/%ld/%ld) (fill:%d/%ld)\n" (four longs, an int and 14
  // characters), and the slack of the last piece.
  static constexpr size_t kMax =
      11 + 1 + 11 + 1 + 11 + 1 + 21 + 1 + 11 + 1 + 11 + 2 + 11 + (4 * 21 + 11 + 14) + kSlack;
  static_assert(kMax <= kRoom, "a listing line fits its Line");

  bool known_ = false;
  Fixed fixed_{};
  Place count_{}, seconds_{}, subseconds_{}, record_{};
  size_t length_ = 0;
  char text_[kMax] = {};
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
