// hlc_edr_dump's compress2 (ISA-L's igzip; a large chunk in two halves at
// once): every stream it makes inflates, with zlib's own inflate, to the
// bytes it was made from, whatever their size around the point where chunks
// are cut in two, their content and the level; and it keeps zlib's contract
// where a stream does not fit, and for level 0.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

std::vector<Bytef> content(size_t n, int kind) {
  std::mt19937 rng(static_cast<unsigned>(n * 3 + static_cast<size_t>(kind)));
  std::poisson_distribution<int> counts(3);
  std::vector<Bytef> b(n);
  for (Bytef &x : b) {
    x = kind == 0 ? 0 : kind == 1 ? static_cast<Bytef>(rng()) : static_cast<Bytef>(counts(rng));
  }
  return b;
}

TEST(DumpDeflate, EveryStreamInflatesToItsBytes) {
  const uLong kSplit = 256 << 10;  // chunks from this size on are cut in two
  for (uLong n : {0ul, 1ul, 1000ul, kSplit - 1, kSplit, kSplit + 1, 1ul << 20, (4ul << 20) + 3}) {
    for (int kind : {0, 1, 2}) {  // zeros, random bytes, small counts
      const std::vector<Bytef> in = content(n, kind);
      for (int level : {1, 2, 9}) {
        SCOPED_TRACE(testing::Message() << n << " bytes of kind " << kind << ", level " << level);
        std::vector<Bytef> out(compressBound(n));
        uLongf size = out.size();
        ASSERT_EQ(compress2(out.data(), &size, in.data(), n, level), Z_OK);
        std::vector<Bytef> back(n + 1);
        uLongf back_size = back.size();
        ASSERT_EQ(uncompress(back.data(), &back_size, out.data(), size), Z_OK);
        ASSERT_EQ(back_size, n);
        EXPECT_TRUE(std::equal(in.begin(), in.end(), back.begin()));
        if (kind != 1) {
          EXPECT_LT(size, n / 2 + 64);  // and it compresses
        }
      }
    }
  }
}

TEST(DumpDeflate, KeepsZlibsContract) {
  const std::vector<Bytef> in = content(1 << 20, 1);
  std::vector<Bytef> out(in.size() / 2);
  uLongf size = out.size();
  EXPECT_EQ(compress2(out.data(), &size, in.data(), in.size(), 1), Z_BUF_ERROR);
  size = 5;
  EXPECT_EQ(compress2(out.data(), &size, in.data(), 10, 1), Z_BUF_ERROR);
  size = out.size();
  EXPECT_EQ(compress2(out.data(), &size, in.data(), 10, 0), Z_STREAM_ERROR);
  EXPECT_EQ(compress2(out.data(), &size, in.data(), 10, 10), Z_STREAM_ERROR);
}

}  // namespace
