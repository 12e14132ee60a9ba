// The log-line builder gives what printf gives, for field widths, zero
// padding, negative values and the largest values of each kind.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <random>
#include <string>

#include "log_format.h"

namespace {

std::string built(const hlc_log::Line &line) {
  return std::string(line.data(), line.size());
}

TEST(LogFormat, NumbersAsPrintfGivesThem) {
  const long long values[] = {0,
                              1,
                              -1,
                              7,
                              9,
                              10,
                              -10,
                              99,
                              100,
                              -4,
                              255,
                              16383,
                              32768,
                              65535,
                              -65535,
                              INT_MAX,
                              INT_MIN,
                              LLONG_MAX,
                              LLONG_MIN,
                              4294967295LL,
                              -2147483647LL,
                              123456789012LL};
  for (long long v : values) {
    for (int width : {0, 1, 2, 3, 4, 6, 10, 12, 21}) {
      char want[64];
      snprintf(want, sizeof want, "%*lld", width, v);
      hlc_log::Line line;
      EXPECT_EQ(built(line.num(v, width)), want) << v << " width " << width;
      snprintf(want, sizeof want, "%0*lld", width, v);
      hlc_log::Line zero;
      EXPECT_EQ(built(zero.num(v, width, true)), want) << v << " zero width " << width;
      if (v >= 0) {
        snprintf(want, sizeof want, "%*llu", width, static_cast<unsigned long long>(v));
        hlc_log::Line u;
        EXPECT_EQ(built(u.unum(static_cast<unsigned long long>(v), width)), want);
      }
    }
  }
  hlc_log::Line u;
  EXPECT_EQ(built(u.unum(ULLONG_MAX, 10)), "18446744073709551615");
}

// A whole listing line, with the widest and the negative values it can hold.
TEST(LogFormat, ListingLine) {
  struct Values {
    int apid, flags, count;
    long size;
    unsigned seconds;
    int subseconds, record;
    long record_size, offset, implied;
    int fill;
    long prefill;
  };
  const Values cases[] = {
      {25, 3, 0, 52, 1000, 0, 1, 123, 60, 52, 0, 52},
      {2047, 3, 16383, 65531, 4294967295u, 255, INT_MAX, 32768, 65563, 0, 1, 65524},
      {0, 0, 0, -4, 0, 0, 2, 20, 28, -19, 0, -11},
      {7, 1, 5, 9999, 2147483648u, 7, 100000, 32768, 60, 32697, 1, 54},
  };
  for (const Values &v : cases) {
    char want[256];
    snprintf(want, sizeof want, "%2d %1d %6d %4ld %10u:%03d (%d/%ld/%ld/%ld) (fill:%d/%ld)\n",
             v.apid, v.flags, v.count, v.size, v.seconds, v.subseconds, v.record, v.record_size,
             v.offset, v.implied, v.fill, v.prefill);
    const hlc_log::Line line =
        hlc_log::listing_line(v.apid, v.flags, v.count, v.size, v.seconds, v.subseconds, v.record,
                              v.record_size, v.offset, v.implied, v.fill, v.prefill);
    EXPECT_EQ(built(line), want);
  }
}

// One listing after another, as the reader makes them: the part after the
// record number, kept from line to line, follows every change of the values
// in it, back and forth, and of the values before it.
TEST(LogFormat, ListingLinesInTurn) {
  struct Values {
    int count, record;
    long record_size, offset, implied;
    int fill;
    long prefill;
  };
  const Values cases[] = {
      {0, 1, 123, 60, 52, 0, 52},          {1, 2, 123, 60, 52, 0, 52},
      {2, 3, 124, 60, 53, 0, 52},          {3, 4, 123, 60, 52, 0, 52},
      {4, 5, 123, 61, 52, 0, 52},          {5, 6, 123, 60, 51, 0, 52},
      {6, 7, 123, 60, 52, 1, 52},          {7, 8, 123, 60, 52, 0, -11},
      {8, 99999, 123, 60, 52, 0, 52},      {9, 100000, 123, 60, 52, 0, 52},
      {10, 100001, 32768, 28, -19, 1, -1}, {11, 100002, 32768, 28, -19, 1, -1},
      {12, 100003, 123, 60, 52, 0, 52},
  };
  hlc_log::Listing listing;
  for (const Values &v : cases) {
    char want[256];
    snprintf(want, sizeof want, "%2d %1d %6d %4ld %10u:%03d (%d/%ld/%ld/%ld) (fill:%d/%ld)\n", 25,
             3, v.count, 52L, 1000u + v.count, v.count % 256, v.record, v.record_size, v.offset,
             v.implied, v.fill, v.prefill);
    EXPECT_EQ(built(listing.line(25, 3, v.count, 52, 1000u + v.count, v.count % 256, v.record,
                                 v.record_size, v.offset, v.implied, v.fill, v.prefill)),
              want);
  }
}

// Lines whose numbers stay, count up by one or jump, as packet counters,
// clocks and record numbers do: through carries into a wider number, past a
// width's padding, from negative values and at the widest values, every
// line is printf's.
TEST(LogFormat, ListingNumbersKeptFromLineToLine) {
  std::mt19937 rng(5);
  const long long starts[] = {-12, -1, 0, 8, 9, 98, 99, 999, 9999, 99999, 999999, 2147483646};
  long long v[7] = {25, 3, 0, 52, 4294967290LL, 0, 1};
  const long long top[7] = {2047, 3, 16383, 65531, 4294967295LL, 999, INT_MAX};
  hlc_log::Listing listing;
  long long last[7] = {};
  for (int line = 0; line < 20000; ++line) {
    std::copy(v, v + 7, last);
    for (int f = 0; f < 7; ++f) {
      const unsigned roll = rng() % 10;
      if (roll < 4 && v[f] < top[f]) {
        ++v[f];
      } else if (roll == 9) {
        const long long s = starts[rng() % (sizeof starts / sizeof starts[0])];
        v[f] = f == 4 ? (s < 0 ? 4294967295LL + s : s) : std::min(s, top[f]);
        if (f == 1 || f == 4 || f == 6) v[f] = std::max(v[f], 0LL);
      }
    }
    char want[256];
    snprintf(want, sizeof want, "%2d %1d %6d %4ld %10u:%03d (%d/%ld/%ld/%ld) (fill:%d/%ld)\n",
             static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]),
             static_cast<long>(v[3]), static_cast<unsigned>(v[4]), static_cast<int>(v[5]),
             static_cast<int>(v[6]), 123L, 60L, 52L, 0, 52L);
    // Where the APID, flags and size stay, every other line is made as the
    // reader makes that of a record framed as the last one.
    std::string got;
    if (line > 0 && line % 2 == 0 && v[0] == last[0] && v[1] == last[1] && v[3] == last[3]) {
      char room[hlc_log::Listing::kRoom];
      char *end = listing.write_next(room, static_cast<int>(v[2]), static_cast<unsigned>(v[4]),
                                     static_cast<int>(v[5]), static_cast<int>(v[6]));
      got.assign(room, static_cast<size_t>(end - room));
    } else {
      got =
          built(listing.line(static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]),
                             static_cast<long>(v[3]), static_cast<unsigned>(v[4]),
                             static_cast<int>(v[5]), static_cast<int>(v[6]), 123, 60, 52, 0, 52));
    }
    ASSERT_EQ(got, want) << "line " << line;
  }
}

}  // namespace
