// The per-record log lines, built without the general printf machinery: a
// run prints one listing line per TLM record, so this is where the log's
// time goes. Every piece gives exactly what the printf conversion named
// beside it gives.
#ifndef HLC_EDR_LOG_FORMAT_H
#define HLC_EDR_LOG_FORMAT_H

#include <stddef.h>
#include <stdio.h>
#include <string.h>

namespace hlc_log {

class Line {
 public:
  // Text as it stands.
  Line &text(const char *s) {
    const size_t len = strlen(s);
    memcpy(buf_ + n_, s, len);
    n_ += len;
    return *this;
  }
  Line &ch(char c) {
    buf_[n_++] = c;
    return *this;
  }
  // "%<width>lld", or "%0<width>lld" with zero.
  Line &num(long long v, int width = 0, bool zero = false) {
    const bool negative = v < 0;
    // The magnitude, also of the most negative value.
    unsigned long long m =
        negative ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    return digits(m, negative, width, zero);
  }
  // "%<width>llu".
  Line &unum(unsigned long long v, int width = 0) { return digits(v, false, width, false); }

  const char *data() const { return buf_; }
  size_t size() const { return n_; }
  void put(FILE *out) const { fwrite(buf_, 1, n_, out); }

 private:
  Line &digits(unsigned long long m, bool negative, int width, bool zero) {
    char tmp[24];
    int len = 0;
    do {
      tmp[len++] = static_cast<char>('0' + m % 10);
      m /= 10;
    } while (m != 0);
    int fill = width - len - (negative ? 1 : 0);
    if (!zero) {
      for (; fill > 0; --fill) buf_[n_++] = ' ';
    }
    if (negative) buf_[n_++] = '-';
    for (; fill > 0; --fill) buf_[n_++] = '0';
    while (len > 0) buf_[n_++] = tmp[--len];
    return *this;
  }

  char buf_[256];
  size_t n_ = 0;
};

// The reader's listing line of one TLM record:
// "%2d %1d %6d %4ld %10u:%03d (%d/%ld/%ld/%ld) (fill:%d/%ld)\n".
inline Line listing_line(int apid, int flags, int count, long size, unsigned seconds,
                         int subseconds, int record, long record_size, long offset, long implied,
                         int fill, long prefill) {
  Line line;
  line.num(apid, 2).ch(' ').num(flags, 1).ch(' ').num(count, 6).ch(' ');
  line.num(size, 4).ch(' ').unum(seconds, 10).ch(':').num(subseconds, 3, true);
  line.text(" (").num(record).ch('/').num(record_size).ch('/').num(offset).ch('/');
  line.num(implied).text(") (fill:").num(fill).ch('/').num(prefill).text(")\n");
  return line;
}

}  // namespace hlc_log

#endif  // HLC_EDR_LOG_FORMAT_H
