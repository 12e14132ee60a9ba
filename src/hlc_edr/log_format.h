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
  // where it ends. The last line is copied first and its numbers then
  // updated in both places: a copy that read a line just updated with
  // single characters would wait for those stores to complete.
  [[gnu::always_inline]] char *write(char *at, int apid, int flags, int count, long size,
                                     unsigned seconds, int subseconds, int record, long record_size,
                                     long offset, long implied, int fill, long prefill) {
    if (known_ && fixed_.same(apid, flags, size, record_size, offset, implied, fill, prefill)) {
      copy(at);
      if (count_.update(text_, at, count) && seconds_.update(text_, at, seconds) &&
          subseconds_.update(text_, at, subseconds) && record_.update(text_, at, record)) {
        return at + length_;
      }
    }
    make(Fixed{apid, flags, size, record_size, offset, implied, fill, prefill}, count, seconds,
         subseconds, record);
    copy(at);
    return at + length_;
  }

  // The line of a record whose other values are the last line's, which
  // there is (a line was written before).
  [[gnu::always_inline]] char *write_next(char *at, int count, unsigned seconds, int subseconds,
                                          int record) {
    copy(at);
    if (!(count_.update(text_, at, count) && seconds_.update(text_, at, seconds) &&
          subseconds_.update(text_, at, subseconds) && record_.update(text_, at, record))) {
      make(fixed_, count, seconds, subseconds, record);
      copy(at);
    }
    return at + length_;
  }

 private:
  // The line copied in 16-byte moves, four of them for most lines (a
  // string move, which the compiler may pick for a memcpy here, takes
  // longer to start than the line takes to copy).
  [[gnu::always_inline]] void copy(char *at) const {
    typedef char Chunk __attribute__((vector_size(16), aligned(1), may_alias));
    Chunk *to = reinterpret_cast<Chunk *>(at);
    const Chunk *from = reinterpret_cast<const Chunk *>(text_);
    to[0] = from[0];
    to[1] = from[1];
    to[2] = from[2];
    to[3] = from[3];
    if (length_ > 64) [[unlikely]] {
      for (size_t k = 4; 16 * k < length_; ++k) to[k] = from[k];
    }
  }

  // The values that make a line anew when they change, compared value by
  // value with those of the next line.
  struct Fixed {
    int apid, flags;
    long size, record_size, offset, implied;
    int fill;
    long prefill;
    [[gnu::always_inline]] bool same(int apid_, int flags_, long size_, long record_size_,
                                     long offset_, long implied_, int fill_, long prefill_) const {
      return apid == apid_ && flags == flags_ && size == size_ && record_size == record_size_ &&
             offset == offset_ && implied == implied_ && fill == fill_ && prefill == prefill_;
    }
  };

  // A number in its place in the line: `width` characters from `at`, made
  // with printf's width `printed` ("%<printed>lld", zero: "%0<printed>lld").
  // The last character of a place is always a digit; `next` is the value
  // that an increment of the digits gives (none after a negative value,
  // whose magnitude an increment lowers).
  struct Place {
    long long value, next;
    size_t at, last;
    int width, printed;
    bool zero;

    // Puts v in its place in the line and in its copy; false when it takes
    // another width. The next value most often changes just the last digit,
    // else mostly the last two.
    [[gnu::always_inline]] bool update(char *text, char *copy, long long v) {
      if (v == value) return true;
      if (v == next) {
        const char digit = text[last];
        if (digit != '9') {
          text[last] = static_cast<char>(digit + 1);
          copy[last] = static_cast<char>(digit + 1);
          value = v;
          next = v + 1;
          return true;
        }
        const char before = width > 1 ? text[last - 1] : '9';
        if ((before >= '0' && before < '9') || before == ' ') {
          const char up = before == ' ' ? '1' : static_cast<char>(before + 1);
          text[last] = '0';
          copy[last] = '0';
          text[last - 1] = up;
          copy[last - 1] = up;
          value = v;
          next = v + 1;
          return true;
        }
      }
      return change(text, copy, v);
    }

    // Any other value: the next one with a carry, or one converted anew.
    [[gnu::noinline]] bool change(char *text, char *copy, long long v) {
      char *digits = text + at;
      int from = 0;  // the first character changed
      if (v == next) {
        from = width - 1;
        while (digits[from] == '9') {
          digits[from] = '0';
          if (from == 0) return false;  // one digit more than the place has
          --from;
        }
        if (digits[from] == ' ') {  // the padding gives way to a digit
          digits[from] = '1';
        } else if (digits[from] >= '0' && digits[from] < '9') {
          ++digits[from];
        } else {
          return false;
        }
      } else {
        char number[32];
        if (put_num(number, v, printed, zero) - number != width) return false;
        memcpy(digits, number, static_cast<size_t>(width));
      }
      for (int k = from; k < width; ++k) copy[at + static_cast<size_t>(k)] = digits[k];
      return now(v);
    }

    bool now(long long v) {
      value = v;
      next = v >= 0 ? v + 1 : kNone;
      return true;
    }
    // No value's successor: the values are ints and unsigned ints.
    static constexpr long long kNone = -1 - 0x7FFFFFFFFFFFFFFFLL;
  };

  // Puts v at p with printf's width `printed`, and notes its place.
  char *place(Place &where, char *p, long long v, int printed, bool zero = false) {
    char *end = put_num(p, v, printed, zero);
    const size_t at = static_cast<size_t>(p - text_);
    const int width = static_cast<int>(end - p);
    where = {v, 0, at, at + static_cast<size_t>(width) - 1, width, printed, zero};
    where.now(v);
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
  // The text in whole 16-byte pieces, which are copied.
  static constexpr size_t kText = (kMax + 15) / 16 * 16;
  static_assert(kText <= kRoom, "a listing line fits its Line");

  bool known_ = false;
  Fixed fixed_{};
  Place count_{}, seconds_{}, subseconds_{}, record_{};
  size_t length_ = 0;
  char text_[kText] = {};
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
