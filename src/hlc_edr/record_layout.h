// The statement of a record module's layout, and what the build derives from
// it and checks in it.
//
// A module states each member of its record structure once, in declaration
// order: where it is (by offsetof and sizeof on the structure), its HDF
// number type, its array dimensions by the constants of hlc_edr_const.h,
// whether an SDS keeps it, and what it means. From that one table the build
// derives the Vdata fields and the SDS that the engine writes and reads, the
// places of the fields in the packed record and the copies that pack them,
// and the module's descriptor (hlc_edr_layout.h). The checks below stop the
// build when the table is not the structure's or disagrees with itself.
//
// Everything here is evaluated at compile time; like the engine, it has
// internal linkage and needs no C++ library.
#ifndef HLC_EDR_RECORD_LAYOUT_H
#define HLC_EDR_RECORD_LAYOUT_H

#include <stddef.h>

#include "hdf.h"
#include "hlc_edr_layout.h"

static_assert(HLC_EDR_UINT8 == DFNT_UINT8 && HLC_EDR_UINT16 == DFNT_UINT16 &&
                  HLC_EDR_UINT32 == DFNT_UINT32 && HLC_EDR_FLOAT32 == DFNT_FLOAT32,
              "the descriptors' number types are HDF4's");
static_assert(sizeof(int32) == sizeof(int32_t) && static_cast<int32>(-1) == int32_t{-1},
              "HDF4's int32 is int32_t");

namespace {
namespace hlc_rm {

constexpr int kMaxSds = 3;

constexpr size_t type_size(int32 type) {
  return type == DFNT_UINT8 ? 1 : type == DFNT_UINT16 ? 2 : 4;  // uint32, float32
}

// Where a member is, from the record structure (HLC_RM_MEMBER).
struct Place {
  const char *name;
  int32 type;
  size_t offset;
  size_t size;
  const char *sds;  // the SDS name, or nullptr for a Vdata field
  hlc_edr_dim dims[HLC_EDR_MAX_RANK];
};

// The member `f` of record structure R, with HDF number type t, kept in the
// SDS named `sds` (nullptr: in the Vdata), dimensioned by the constants that
// follow (HLC_RM_DIM).
// clang-format off
#define HLC_RM_MEMBER(R, f, t, sds, ...) \
  hlc_rm::Place { #f, t, offsetof(R, f), sizeof(R::f), sds, {__VA_ARGS__} }
#define HLC_RM_DIM(c) hlc_edr_dim { #c, c }
// clang-format on

// The words of the modules' meaning tables (using namespace hlc_rm::terms).
namespace terms {

// A range of values that the header gives.
struct Range {
  int32 given;
  double min, max;
};
constexpr Range range(double min, double max) {
  return {1, min, max};
}
// The 12-bit readbacks of the ADC and the DAC, "(0-4095d)".
constexpr Range kAdc = range(0, 4095);

// The flags of a status word that the header lists: per entry its mask and
// the value that the masked word has when the meaning holds, and their
// names as words, blank-separated, in the same order. A single bit is one
// entry (bit); an enumeration, a range of bits whose values mean states, is
// one entry per value (state), every value of the range named.
struct Flag {
  uint32 mask;
  uint32 value;
};
struct Flags {
  Flag entries[HLC_EDR_MAX_FLAGS];
  const char *meanings;
};
constexpr uint32 mask_of(int low, int high) {
  return static_cast<uint32>((2ULL << high) - (1ULL << low));
}
constexpr Flag bit(int b) {
  return {mask_of(b, b), mask_of(b, b)};
}
// State `value` of the enumeration in bits low to high.
constexpr Flag state(int low, int high, uint32 value) {
  return {mask_of(low, high), value << low};
}

// Remarks of the headers that recur (macros, to be joined with others).
#define HLC_RM_BIT_ORDER_UNCERTAIN \
  "the bit order is uncertain (\"? bit order\" in the record header)"
#define HLC_RM_QUESTIONED "marked with a question mark in the record header"
// The four states of an enumeration in bits low to low + 1.
#define HLC_RM_STATES4(low) \
  state(low, low + 1, 0), state(low, low + 1, 1), state(low, low + 1, 2), state(low, low + 1, 3)
// Parts of status words that hold no flags: what they hold.
#define HLC_RM_AZIMUTH_SAMPLED \
  "bits 0-7: Azimuth_Sampled_Indication, a value (the record header names no states)"
#define HLC_RM_COMMAND_COUNTER "bits 0-7: Command_Status_Counter, a count"
constexpr const char kAsReceived[] = "stored as received, no expansion or scaling";

// What a member means: what the header's comment on it says.
struct Meaning {
  const char *long_name;
  const char *units = nullptr;    // UDUNITS
  const char *comment = nullptr;  // what the header says that is no unit
  Range valid = {};
  Flags flags = {};
};

// Meanings that several record headers state in the same words.
constexpr Meaning kIntegTime = {.long_name = "detector integration time", .units = "1e-5 s"};
constexpr Meaning kSettleTime = {.long_name = "power supply settling time", .units = "1e-5 s"};
// ESA_level of the GEM normal, GIM normal and GIM diagnostic records.
constexpr Meaning kCycleEsaLevels = {.long_name = "ESA levels of the cycle",
                                     .comment = "DAC units; " HLC_RM_QUESTIONED,
                                     .valid = kAdc};
// Members of the GEM and GIM housekeeping records.
constexpr Meaning kHkStepSize = {.long_name = "voltage level step size specified in the command",
                                 .units = "0.01 %",
                                 .comment = "0 for a manual acquisition"};
constexpr Meaning kHkCemSet = {.long_name = "ADC value of CEM voltage DAC readback", .valid = kAdc};
constexpr Meaning kHkCemLevel = {.long_name = "ADC value of CEM voltage readback", .valid = kAdc};
constexpr Meaning kHkAmpSet = {.long_name = "ADC value of AMP voltage DAC readback", .valid = kAdc};
// SW_status of the GEM and GIM housekeeping records, with the names of bits 0
// and 1 (which the two headers spell differently) and the unit's name.
#define HLC_RM_HK_SW_STATUS(unit, bits_0_1)                                                      \
  Meaning {                                                                                      \
    .long_name = unit " software status word", .comment = HLC_RM_BIT_ORDER_UNCERTAIN, .flags = { \
      {bit(0), bit(1), bit(2), bit(3), bit(4), bit(5), bit(6), bit(7), bit(8), bit(9),           \
       HLC_RM_STATES4(10), bit(14), bit(15)},                                                    \
      bits_0_1                                                                                   \
      " RAM_TEST ROM_TEST INTERUPT_TEST TIMING_TEST DAC1_TEST DAC2_TEST "                        \
      "DAC3_TEST PROCESSOR_RESET TEST_PULSER_0 TEST_PULSER_1 TEST_PULSER_2 TEST_PULSER_3 "       \
      "LAST_SYNC_EARLY_FLAG SIMULATOR_DATA"                                                      \
    }                                                                                            \
  }
// APID_status of the GEM and GIM housekeeping records.
constexpr Meaning kHkApidStatus = {
    .long_name = "APID status word",
    .comment = HLC_RM_BIT_ORDER_UNCERTAIN "; " HLC_RM_AZIMUTH_SAMPLED,
    .flags = {{HLC_RM_STATES4(8), bit(10)},
              "Sample_Mode_0 Sample_Mode_1 Sample_Mode_2 Sample_Mode_3 "
              "Checksum_Error_Occur_Indication"}};
// APID_status of the GIM normal and GIM diagnostic records.
constexpr Meaning kGimCycleApidStatus = {
    .long_name = "APID status word",
    .comment = HLC_RM_BIT_ORDER_UNCERTAIN
    "; bits 5-10: Status_Checksum_Error, a value (the record header names no states)",
    .flags = {{bit(0), bit(1), bit(2), bit(3), bit(4)},
              "Status_Early_Sync Status_Synthetic_Sync Status_Test_Data Status_Use_Data "
              "Status_Sub_Mode"}};

}  // namespace terms
using namespace terms;

struct Entry {
  Place place;
  Meaning meaning;
};

// A stretch of Vdata fields that lie back to back in the structure as in the
// packed record: packing copies it in one piece.
struct Run {
  size_t offset;  // in the structure
  size_t packed;  // in the packed record
  size_t size;
};

// What the engine and the descriptor take from a layout, whatever its size.
struct LayoutView {
  const hlc_edr_member *members;
  int nmembers;
  const int *field_index;  // the Vdata fields, in order
  int nfields;
  const int *sds_index;  // the SDS members, in order
  int nsds;
  size_t packed_size;
  const Run *runs;
  int nruns;
};

// The layout derived from the table of a module's N members.
template <size_t N>
struct Layout {
  hlc_edr_member members[N];
  int field_index[N];
  int nfields;
  int sds_index[kMaxSds];
  int nsds;
  size_t packed_size;
  Run runs[N];
  int nruns;

  constexpr LayoutView view() const {
    return {members, static_cast<int>(N), field_index, nfields, sds_index,
            nsds,    packed_size,         runs,        nruns};
  }
};

constexpr int count_flags(const Flags &f) {
  int n = 0;
  while (n < HLC_EDR_MAX_FLAGS && f.entries[n].mask != 0) ++n;
  return n;
}

template <size_t N>
constexpr Layout<N> layout(const Entry (&table)[N]) {
  Layout<N> l{};
  size_t packed = 0;
  for (size_t i = 0; i < N; ++i) {
    const Place &p = table[i].place;
    const Meaning &s = table[i].meaning;
    hlc_edr_member &m = l.members[i];
    m.name = p.name;
    m.type = p.type;
    m.order = 1;
    for (int d = 0; d < HLC_EDR_MAX_RANK && p.dims[d].name != nullptr; ++d) {
      m.dims[d] = p.dims[d];
      m.order *= p.dims[d].size;
      m.rank = d + 1;
    }
    m.offset = p.offset;
    m.size = p.size;
    m.sds = p.sds;
    m.long_name = s.long_name;
    m.units = s.units;
    m.comment = s.comment;
    m.has_valid_range = s.valid.given;
    m.valid_min = s.valid.min;
    m.valid_max = s.valid.max;
    m.nflags = count_flags(s.flags);
    for (int k = 0; k < m.nflags; ++k) {
      m.flag_masks[k] = s.flags.entries[k].mask;
      m.flag_values[k] = s.flags.entries[k].value;
    }
    m.flag_meanings = s.flags.meanings;
    if (p.sds != nullptr) {
      if (l.nsds < kMaxSds) l.sds_index[l.nsds] = static_cast<int>(i);
      ++l.nsds;
      continue;
    }
    m.packed_offset = packed;
    l.field_index[l.nfields++] = static_cast<int>(i);
    // A field continues the last run when it follows it in the structure.
    Run *last = l.nruns > 0 ? &l.runs[l.nruns - 1] : nullptr;
    if (last != nullptr && last->offset + last->size == p.offset) {
      last->size += p.size;
    } else {
      l.runs[l.nruns++] = {p.offset, packed, p.size};
    }
    packed += p.size;
  }
  l.packed_size = packed;
  return l;
}

// ---- checks -------------------------------------------------------------------

// Called where a check fails: not a constant expression, so the build stops
// at the call, whose argument says what is wrong.
inline bool layout_fault(const char *) {
  return false;
}

constexpr size_t cstrlen(const char *s) {
  size_t n = 0;
  while (s[n] != '\0') ++n;
  return n;
}

constexpr bool same_text(const char *a, const char *b) {
  size_t i = 0;
  for (; a[i] != '\0' && a[i] == b[i]; ++i) {
  }
  return a[i] == b[i];
}

// True when `text` holds `piece` at `at`.
constexpr bool holds_at(const char *text, size_t at, const char *piece) {
  for (size_t i = 0; piece[i] != '\0'; ++i) {
    if (text[at + i] != piece[i]) return false;
  }
  return true;
}

constexpr bool contains(const char *text, const char *piece) {
  const size_t n = cstrlen(text), k = cstrlen(piece);
  for (size_t at = 0; at + k <= n; ++at) {
    if (holds_at(text, at, piece)) return true;
  }
  return false;
}

constexpr size_t align_up(size_t n, size_t a) {
  return (n + a - 1) / a * a;
}

// Blank-separated words, none empty.
constexpr int count_words(const char *s) {
  if (s == nullptr) return 0;
  int n = 0;
  for (size_t i = 0; s[i] != '\0'; ++i) {
    if (s[i] == ' ' && (i == 0 || s[i + 1] == ' ' || s[i + 1] == '\0')) return -1;
    if (i == 0 || s[i - 1] == ' ') ++n;
  }
  return n;
}

constexpr double type_max(int32 type) {
  return type == DFNT_UINT8    ? 255.0
         : type == DFNT_UINT16 ? 65535.0
         : type == DFNT_UINT32 ? 4294967295.0
                               : 3.4028234663852886e38;  // FLT_MAX
}

// The member's meaning agrees with itself and with its type.
constexpr bool meaning_ok(const hlc_edr_member &m) {
  if (m.long_name == nullptr || m.long_name[0] == '\0') return layout_fault("no long_name");
  if (m.units != nullptr && m.units[0] == '\0') return layout_fault("empty units");
  if (m.comment != nullptr && m.comment[0] == '\0') return layout_fault("empty comment");
  if (m.has_valid_range) {
    const double low = m.type == DFNT_FLOAT32 ? -type_max(m.type) : 0.0;
    if (m.valid_min > m.valid_max || m.valid_min < low || m.valid_max > type_max(m.type)) {
      return layout_fault("valid range not within the type");
    }
  }
  if (count_words(m.flag_meanings) != m.nflags) {
    return layout_fault("flags and their meanings differ in number");
  }
  for (int k = 0; k < m.nflags; ++k) {
    const uint32 mask = m.flag_masks[k], value = m.flag_values[k];
    if (m.type == DFNT_FLOAT32 || (type_size(m.type) < 4 && mask >> (8 * type_size(m.type)))) {
      return layout_fault("flag mask outside the word");
    }
    if ((value & ~mask) != 0) return layout_fault("flag value outside its mask");
    const bool single = (mask & (mask - 1)) == 0;
    if (single && value != mask) return layout_fault("a single bit's flag is the bit set");
    int states = 0;
    for (int j = 0; j < m.nflags; ++j) {
      if (m.flag_masks[j] != mask && (m.flag_masks[j] & mask) != 0) {
        return layout_fault("flag masks overlap");
      }
      if (m.flag_masks[j] == mask) {
        ++states;
        if (j != k && m.flag_values[j] == value) return layout_fault("a flag value named twice");
      }
    }
    // A range of bits is an enumeration that names every state; counters
    // and spare bits are no flags (the comment says what they hold).
    if (!single && states != static_cast<int>(mask / (mask & -mask)) + 1) {
      return layout_fault("an enumeration does not name each of its states");
    }
  }
  return true;
}

// True when `list` is exactly the names of the Vdata fields joined by ", ".
template <size_t N>
constexpr bool field_list_matches(const Layout<N> &l, const char *list) {
  size_t p = 0;
  for (int i = 0; i < l.nfields; ++i) {
    if (i > 0) {
      if (!holds_at(list, p, ", ")) return false;
      p += 2;
    }
    const char *name = l.members[l.field_index[i]].name;
    if (!holds_at(list, p, name)) return false;
    p += cstrlen(name);
  }
  return list[p] == '\0';
}

// True when the SDS name is the record's name, "_" and the member's.
constexpr bool sds_name_ok(const char *sds, const char *record, const char *member) {
  const size_t r = cstrlen(record);
  return holds_at(sds, 0, record) && sds[r] == '_' && same_text(sds + r + 1, member);
}

// The table is the record structure's: every member, in declaration order,
// each where the previous one ends after the padding of its own type, the
// structure ending after the last; each of the size its type and dimensions
// make; the field list and the SDS names those of the members.
template <size_t N>
constexpr bool layout_ok(const Layout<N> &l, size_t record_size, const char *record,
                         const char *field_list) {
  size_t end = 0, align = 1;
  for (size_t i = 0; i < N; ++i) {
    const hlc_edr_member &m = l.members[i];
    const size_t a = type_size(m.type);
    if (m.type != DFNT_UINT8 && m.type != DFNT_UINT16 && m.type != DFNT_UINT32 &&
        m.type != DFNT_FLOAT32) {
      return layout_fault("number type");
    }
    if (m.offset != align_up(end, a)) return layout_fault("not the structure's next member");
    if (m.size != a * static_cast<size_t>(m.order)) {
      return layout_fault("type and dimensions do not make the member's size");
    }
    if (m.sds != nullptr && (m.rank < 1 || !sds_name_ok(m.sds, record, m.name))) {
      return layout_fault("an SDS is an array named after the record and the member");
    }
    if (!meaning_ok(m)) return false;
    end = m.offset + m.size;
    if (a > align) align = a;
  }
  if (record_size != align_up(end, align)) return layout_fault("members missing at the end");
  if (l.nsds > kMaxSds) return layout_fault("too many SDS");
  if (!field_list_matches(l, field_list)) return layout_fault("the field list is not the fields'");
  return true;
}

// The index of the member named `name`, or -1.
inline constexpr int member_index(const LayoutView &l, const char *name) {
  for (int i = 0; i < l.nmembers; ++i) {
    if (same_text(l.members[i].name, name)) return i;
  }
  return -1;
}

// Spins of the record time: sclk_seconds and sclk_subseconds, uint32 and
// uint16, both scalars (1) or both arrays over the same spins; 0 otherwise.
constexpr int spins_of(const LayoutView &l) {
  const int s = member_index(l, "sclk_seconds"), u = member_index(l, "sclk_subseconds");
  if (s < 0 || u < 0) return 0;
  const hlc_edr_member &a = l.members[s], &b = l.members[u];
  if (a.type != DFNT_UINT32 || b.type != DFNT_UINT16 || a.sds != nullptr || b.sds != nullptr ||
      a.rank != b.rank || a.rank > 1 || a.order != b.order) {
    return 0;
  }
  return a.order;
}

}  // namespace hlc_rm
}  // namespace

#endif  // HLC_EDR_RECORD_LAYOUT_H
