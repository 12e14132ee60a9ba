// hlc_edr_dump: zlib's compress2, done by libdeflate.
//
// The netCDF-4 export compresses with deflate, HDF5's filter 1, which HDF5
// runs by calling zlib's compress2 on each chunk (HDF5 lets no program
// replace its own filters). This program defines compress2 itself, so that
// HDF5's call comes here: libdeflate makes the same kind of zlib stream in
// about half the time, and a little smaller. Every zlib reader inflates it;
// nothing else in this program calls compress2. The contract is zlib's:
// Z_OK with *dest_len the stream's length, Z_BUF_ERROR when the stream would
// not fit in *dest_len bytes (HDF5 then keeps the chunk as it is),
// Z_STREAM_ERROR for a level out of range, Z_MEM_ERROR.
#include <libdeflate.h>
#include <zlib.h>

namespace {

// One compressor per thread and level, kept for the next chunk.
libdeflate_compressor *compressor(int level) {
  thread_local libdeflate_compressor *c = nullptr;
  thread_local int c_level = -1;
  if (c == nullptr || c_level != level) {
    libdeflate_free_compressor(c);
    c = libdeflate_alloc_compressor(level);
    c_level = c == nullptr ? -1 : level;
  }
  return c;
}

}  // namespace

extern "C" int compress2(Bytef *dest, uLongf *dest_len, const Bytef *source, uLong source_len,
                         int level) {
  if (level == Z_DEFAULT_COMPRESSION) level = 6;
  if (level < 0 || level > 9) return Z_STREAM_ERROR;
  libdeflate_compressor *c = compressor(level);
  if (c == nullptr) return Z_MEM_ERROR;
  const size_t n = libdeflate_zlib_compress(c, source, source_len, dest, *dest_len);
  if (n == 0) return Z_BUF_ERROR;
  *dest_len = n;
  return Z_OK;
}
