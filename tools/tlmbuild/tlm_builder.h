// Builder for TLM files: SFDU records laid back to back, each wrapping one
// CCSDS source packet with a secondary header (time stamp).
//
// Record layout (offsets from the first byte of the record, all big-endian):
//   0   4  control authority identifier ("KWRZ")
//   4  14  rest of the SFDU label (not interpreted by readers)
//  18   2  body length L = number of bytes after the 20-byte label
//  20   2  aggregation block type
//  22   2  aggregation length A = total size of the three header blocks
//  24      header block 1: type(2) length L1(2) body(L1)
//          header block 2: type(2) length L2(2) body(L2)
//          header block 3: type(2) length L3(2) body(L3); body byte 0 bit 7 is
//          the fill flag, body bytes 4-5 the pre-fill packet size
//  24+A 4  data block header: type(2) length(2)
//  28+A    CCSDS packet: APID word, sequence word, length field, u32 seconds,
//          u8 subseconds, user data
// A well-formed record has L = 4 + A + 4 + 11 + user data size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tlm {

// Sizes of the fixed parts of a record.
inline constexpr size_t kLabelSize = 20;         // SFDU label
inline constexpr size_t kPacketHeaderSize = 11;  // primary (6) + secondary (5) header

// One CCSDS source packet and its ground-system fill annotation.
struct Packet {
  uint16_t apid = 0;            // 11 bits; higher bits are dropped
  uint8_t flags = 3;            // sequence flags: 0 middle, 1 first, 2 last, 3 unsegmented
  uint16_t count = 0;           // source sequence count, 14 bits; higher bits are dropped
  uint32_t seconds = 0;         // time stamp seconds
  uint8_t subseconds = 0;       // time stamp fraction in 1/256 s
  std::vector<uint8_t> data{};  // user data
  bool fill = false;            // fill flag in header block 3
  // Packet size before fill (header block 3 body bytes 4-5); default 11 + data size.
  std::optional<uint16_t> prefill_size{};
  // Packet length field; default data size + 4.
  std::optional<uint16_t> length_field{};
};

// How the packet is wrapped in its SFDU record. The defaults give a well-formed
// record; the overrides write inconsistent values on purpose.
struct Framing {
  std::string authority = "KWRZ";  // first 4 characters used, padded with blanks
  uint16_t l1 = 8;                 // header block body lengths, written with that
  uint16_t l2 = 4;                 // many body bytes each; block 3 needs >= 6 body
  uint16_t l3 = 8;                 // bytes to hold both the fill flag and pre-fill size
  // Value written as A; default is the real size of the three header blocks.
  std::optional<uint16_t> aggregation_length{};
  // Value written as L; default is the real number of bytes after the label.
  std::optional<uint16_t> body_length{};
  // Bytes appended after the packet (counted in the default L).
  std::vector<uint8_t> extra{};
  // Cut the record's bytes to this many (after L has been computed).
  std::optional<size_t> truncate{};
};

// Bytes of one record. Throws std::length_error when a default A or L would not
// fit its 16-bit field (give an override to write such a record anyway).
std::vector<uint8_t> record(const Packet& packet, const Framing& framing = {});

// A TLM file under construction.
class Builder {
 public:
  // Appends one record built by record().
  Builder& add(const Packet& packet, const Framing& framing = {});
  // Appends arbitrary bytes (not counted by records()).
  Builder& raw(std::vector<uint8_t> bytes);
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  // Writes the bytes to path; throws std::runtime_error on any failure (a
  // partially written file is removed).
  void write(const std::string& path) const;
  // Number of add() calls so far.
  size_t records() const { return records_; }

 private:
  std::vector<uint8_t> bytes_;
  size_t records_ = 0;
};

// Writes bytes to path, checking every step; throws std::runtime_error.
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);

// Big-endian appenders for building user data.
void put_be16(std::vector<uint8_t>& out, uint16_t value);
void put_be32(std::vector<uint8_t>& out, uint32_t value);
void put_be64(std::vector<uint8_t>& out, uint64_t value);
void put_be_double(std::vector<uint8_t>& out, double value);  // IEEE 754 binary64

// n bytes (start + i) & 0xFF.
std::vector<uint8_t> ramp(size_t n, uint8_t start = 0);

// Parses hex digits into bytes; blanks, tabs, '_' and ':' between digits are
// ignored, an optional leading "0x" is skipped. Throws std::invalid_argument on
// any other character or an odd number of digits.
std::vector<uint8_t> hex(std::string_view text);

// A small demonstration TLM file with packets of every unit and APID:
// Concentrator housekeeping (APID 25) packets of two and one 52-byte records
// and a filled one, star-tracker quaternion packets (APID 27, 40-byte records
// of five doubles), GEM housekeeping, and two records of every other GEM, GIM
// and MEC product (one of GIM raw and diagnostic), the segmented ones as
// first, middle and last segments, with count spectra that peak at a level
// that moves from record to record.
std::vector<uint8_t> sample_tlm();

}  // namespace tlm
