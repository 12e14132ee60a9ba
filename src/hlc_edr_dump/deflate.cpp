// hlc_edr_dump: zlib's compress2, done by ISA-L's igzip on two threads.
//
// The netCDF-4 export compresses with deflate, HDF5's filter 1, which HDF5
// runs by calling zlib's compress2 on each chunk, one chunk at a time (HDF5
// lets no program replace its own filters). This program defines compress2
// itself, so that HDF5's call comes here: igzip makes the same kind of zlib
// stream three to four times as fast as zlib, about as small as zlib's
// fastest level, and a large chunk is cut in two halves compressed at once,
// the second on a thread of its own: the first half ends on a byte boundary
// without ending the stream (a sync flush, as pigz does), the second half
// follows it and ends the stream, and the checksum is that of the whole
// chunk. Every zlib reader inflates it; nothing else in this program calls
// compress2.
//
// The contract is zlib's: Z_OK with *dest_len the stream's length,
// Z_BUF_ERROR when the stream would not fit in *dest_len bytes (HDF5 then
// keeps the chunk as it is), Z_STREAM_ERROR for a level out of range,
// Z_MEM_ERROR. zlib's levels 1, 2 and 3 to 9 are igzip's levels 1, 2 and 3;
// level 0, no compression, is refused as out of range (HDF5 then keeps the
// chunk as it is).
#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <future>
#include <new>
#include <vector>

namespace {

// A chunk at least this large is compressed in two halves at once.
constexpr uLong kSplit = 256 << 10;

constexpr uint32_t kLevelBuffer[] = {ISAL_DEF_LVL1_DEFAULT, ISAL_DEF_LVL2_DEFAULT,
                                     ISAL_DEF_LVL3_DEFAULT};

// `n` bytes at `in` as raw deflate data at `out` (room for `room` bytes):
// the last piece of the stream (`last`), or one that ends on a byte
// boundary. The bytes written, or -1 if they do not fit, or -2.
long deflate_piece(int level, const uint8_t *in, size_t n, uint8_t *out, size_t room, bool last) {
  thread_local std::vector<uint8_t> level_buffer;
  try {
    level_buffer.resize(kLevelBuffer[level - 1]);
  } catch (const std::bad_alloc &) {
    return -2;
  }
  isal_zstream s;
  isal_deflate_init(&s);
  s.level = static_cast<uint32_t>(level);
  s.level_buf = level_buffer.data();
  s.level_buf_size = static_cast<uint32_t>(level_buffer.size());
  s.gzip_flag = IGZIP_DEFLATE;
  s.flush = last ? NO_FLUSH : SYNC_FLUSH;
  s.end_of_stream = last ? 1 : 0;
  s.next_in = const_cast<uint8_t *>(in);
  s.avail_in = static_cast<uint32_t>(n);
  s.next_out = out;
  s.avail_out = static_cast<uint32_t>(room);
  if (isal_deflate(&s) != COMP_OK) return -2;
  // All input taken and written out: the stream ended, or, for a piece
  // before the last, room left over, so that nothing waits to be written.
  const bool done = last ? s.internal_state.state == ZSTATE_END : s.avail_out > 0;
  if (s.avail_in != 0 || !done) return -1;
  return static_cast<long>(s.total_out);
}

}  // namespace

extern "C" int compress2(Bytef *dest, uLongf *dest_len, const Bytef *source, uLong source_len,
                         int level) {
  if (level == Z_DEFAULT_COMPRESSION) level = 6;
  if (level < 1 || level > 9) return Z_STREAM_ERROR;
  const int isal_level = level < 3 ? level : 3;
  const uLong room = *dest_len;
  if (source_len > UINT32_MAX || room > UINT32_MAX) return Z_BUF_ERROR;
  if (room < 6) return Z_BUF_ERROR;
  // The zlib header: deflate, 32 KiB window, no dictionary, checked.
  dest[0] = 0x78;
  dest[1] = 0x01;
  const uLong body = room - 6;
  const uLong half = source_len >= kSplit ? source_len / 2 : source_len;
  std::future<long> second;
  std::vector<uint8_t> second_out;
  if (half < source_len) {
    try {
      second_out.resize(body);
      second = std::async(std::launch::async, deflate_piece, isal_level, source + half,
                          source_len - half, second_out.data(), second_out.size(), true);
    } catch (const std::exception &) {
      return Z_MEM_ERROR;
    }
  }
  const long first = deflate_piece(isal_level, source, half, dest + 2, body, half == source_len);
  const long rest = second.valid() ? second.get() : 0;
  if (first == -2 || rest == -2) return Z_STREAM_ERROR;
  if (first < 0 || rest < 0 || static_cast<uLong>(first + rest) > body) return Z_BUF_ERROR;
  if (rest > 0) std::memcpy(dest + 2 + first, second_out.data(), static_cast<size_t>(rest));
  const uint32_t check = isal_adler32(1, source, source_len);
  uint8_t *tail = dest + 2 + first + rest;
  for (int k = 0; k < 4; ++k) tail[k] = static_cast<uint8_t>(check >> (24 - 8 * k));
  *dest_len = static_cast<uLongf>(2 + first + rest + 4);
  return Z_OK;
}
