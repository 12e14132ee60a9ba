// The record-module template: one generic engine that every product's record
// module instantiates with its own layout.
//
// A record module stores records of one fixed structure in an HDF4 file: a
// Vgroup that holds a Vdata table of the scalar fields, up to three SDS arrays
// with an unlimited first dimension (one slab per record), and a data
// description annotation that carries the text of the module's header.
//
// A module states its layout once, as the table of record_layout.h; the
// engine takes the Vdata fields and the SDS from it, and the module's
// descriptor (hlc_edr_layout.h) shows it to reading programs.
//
// Each module's source includes this header once and gets its own private copy
// of the engine (everything here has internal linkage), so a module object is
// self-contained: it needs HDF4 and the C library and nothing else. The engine
// therefore uses no exceptions, no RTTI, no operator new and no C++ library.
#ifndef HLC_EDR_RECORD_MODULE_H
#define HLC_EDR_RECORD_MODULE_H

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "hdf.h"
#include "mfhdf.h"
#include "record_layout.h"

namespace {
namespace hlc_rm {

// The largest packed record of any module: the working buffer of a write or
// a read is an automatic array of this size, gone when the call returns.
constexpr size_t kMaxPacked = 512;

// What the module is open for. Its identifiers serve one use at a time:
// opening it again before it is closed would lose the open tables.
enum class Use { kIdle, kWriting, kReading };

// The module's state beyond its identifiers.
struct Session {
  Use use = Use::kIdle;
  int32 vdata_pos = 0;  // where the attached Vdata's next read happens; -1 unknown
  // Write-behind, while open for writing: records appended are kept here,
  // packed, until a block of `room` is full or something must see them
  // (see write_behind below).
  uint8 *behind = nullptr;
  int32 room = 0;  // records a block holds; 0: every record is written at once
  int32 held = 0;  // records kept, not yet written
};

// Everything that distinguishes one module from another, and pointers to the
// module's process-wide state.
struct Module {
  const char *name;          // "con_hk"
  const char *source;        // source file, named in every error report
  const char *header;        // header file, named in the description
  const char *vgroup_name;   // "VG_Concentrator_Housekeeping"
  const char *vgroup_class;  // "VG_CON_HK"
  const char *record_name;   // Vdata name
  const char *title;         // the product, as the header's title names it
  const char *instrument;    // the unit that sends it: "GEM", "GIM", "Concentrator", "MEC"
  size_t record_size;        // sizeof the record structure
  LayoutView layout;         // the members, from the module's one table
  // packer<table> and unpacker<table> of that table
  void (*pack)(void *packed, const void *record);
  void (*unpack)(const void *packed, void *record);
  const char *field_list;  // field names joined by ", "
  const char *text;        // the header's text
  char *desc;              // the description buffer
  int32 desc_size;
  // state
  int32 *vgrp_id;
  int32 *vdata_id;
  int32 *sds_id[kMaxSds];
  int32 *recnum_wr;  // SDS modules only
  int32 *recnum_rd;
  Session *session;
};

// Vdata field i and SDS k of a module.
inline const hlc_edr_member &field(const Module &m, int i) {
  return m.layout.members[m.layout.field_index[i]];
}
inline const hlc_edr_member &sds(const Module &m, int k) {
  return m.layout.members[m.layout.sds_index[k]];
}

// The opening line of every description, ahead of the header's text.
constexpr const char kOpen1[] = "The file '";
constexpr const char kOpen2[] =
    "' is shown below, it was used to create the data in the Vgroup named '";
constexpr const char kOpen3[] = "'.\n\n\n";

constexpr size_t description_length(const char *header, const char *vgroup, const char *text) {
  return cstrlen(kOpen1) + cstrlen(header) + cstrlen(kOpen2) + cstrlen(vgroup) + cstrlen(kOpen3) +
         cstrlen(text);
}

// The module agrees with its table and its header text: the checks of
// layout_ok, a record time, an identifier for every SDS, and the title that
// the header's text gives ("HLC EDR Structure definitions -- <title>").
template <size_t N>
constexpr bool module_ok(const Module &m, const Layout<N> &l) {
  if (!layout_ok(l, m.record_size, m.record_name, m.field_list)) return false;
  if (spins_of(m.layout) == 0) return layout_fault("no record time");
  for (int k = 0; k < l.nsds; ++k) {
    if (m.sds_id[k] == nullptr || m.recnum_wr == nullptr) return layout_fault("SDS state");
  }
  const char kTitle[] = "HLC EDR Structure definitions -- ";
  for (size_t at = 0; m.text[at] != '\0'; ++at) {
    if (holds_at(m.text, at, kTitle) && holds_at(m.text, at + cstrlen(kTitle), m.title)) {
      const char next = m.text[at + cstrlen(kTitle) + cstrlen(m.title)];
      if (next == ' ' || next == '\n') return true;
    }
  }
  return layout_fault("the header's title is not the module's");
}

// read_<m> for a record given as void *, for the descriptor.
template <class R, int32 (*F)(R *, int32)>
int32 read_void(void *record, int32 position) {
  return F(static_cast<R *>(record), position);
}

// write_<m> for a record given as a pointer to it, for the descriptor.
template <class R, int32 (*F)(R, int32)>
int32 write_void(const void *record, int32 position) {
  return F(*static_cast<const R *>(record), position);
}

// The module's operations that the descriptor offers.
struct Operations {
  int32 (*init_rd)(int32, int32, const char *);
  int32 (*read)(void *, int32);
  void (*close_rd)();
  void (*rd_desc)(int32, int32);
  int32 (*init_wr)(int32, int32, int32, const char *);
  int32 (*write)(const void *, int32);
  void (*close_wr)();
  int32 (*read_block)(int32, int32, void *const *);
  int32 (*flush_wr)();
};

// The operations of module m, whose record structure is R, for its
// descriptor (HLC_RM_OPERATIONS(con_hk, Concentrator_Housekeeping)).
#define HLC_RM_OPERATIONS(m, R)                                                               \
  hlc_rm::Operations {                                                                        \
    init_rd_##m, hlc_rm::read_void<R, read_##m>, close_rd_##m, rd_Vgrp_desc_##m, init_wr_##m, \
        hlc_rm::write_void<R, write_##m>, close_wr_##m, read_block_##m, flush_wr_##m          \
  }

// The module's descriptor, with its reading and writing operations.
constexpr hlc_edr_product describe(const Module &m, const Operations &ops) {
  const LayoutView &l = m.layout;
  return {
      .module = m.name,
      .record = m.record_name,
      .title = m.title,
      .header = m.header,
      .vgroup = m.vgroup_name,
      .vgroup_class = m.vgroup_class,
      .vdata = m.record_name,
      .field_list = m.field_list,
      .record_size = m.record_size,
      .packed_size = l.packed_size,
      .nmembers = l.nmembers,
      .members = l.members,
      .nfields = l.nfields,
      .nsds = l.nsds,
      .spins = spins_of(l),
      .sclk_seconds = member_index(l, "sclk_seconds"),
      .sclk_subseconds = member_index(l, "sclk_subseconds"),
      .init_rd = ops.init_rd,
      .read = ops.read,
      .close_rd = ops.close_rd,
      .rd_Vgrp_desc = ops.rd_desc,
      .desc = m.desc,
      .desc_size = static_cast<size_t>(m.desc_size),
      .init_wr = ops.init_wr,
      .write = ops.write,
      .close_wr = ops.close_wr,
      .read_block = ops.read_block,
      .instrument = m.instrument,
      .flush_wr = ops.flush_wr,
  };
}

// ---- error reports ----------------------------------------------------------

// Standard output is flushed first, so that a log of both streams keeps the
// order in which things happened.
inline void print_error(const Module &m, const char *message) {
  fflush(stdout);
  fprintf(stderr, "\nERROR in  %s -> %s\n", m.source, message);
  HEprint(stderr, 0);
}

// Reports "<op><module> -> <what>", <what> formatted from fmt.
__attribute__((format(printf, 3, 4))) inline void fail(const Module &m, const char *op,
                                                       const char *fmt, ...) {
  char what[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(what, sizeof what, fmt, ap);
  va_end(ap);
  char message[512];
  snprintf(message, sizeof message, "%s%s -> %s", op, m.name, what);
  print_error(m, message);
}

// ---- packing ----------------------------------------------------------------

// A record and its packed form differ only where the structure pads: the
// layout's runs (record_layout.h) are copied whole, each with a size known at
// compile time, so that a run of a few fields is a few moves, not a library
// call per field.
template <const auto &L, int I = 0>
inline void pack_runs(unsigned char *out, const unsigned char *in) {
  if constexpr (I < L.nruns) {
    memcpy(out + L.runs[I].packed, in + L.runs[I].offset, L.runs[I].size);
    pack_runs<L, I + 1>(out, in);
  }
}

template <const auto &L, int I = 0>
inline void unpack_runs(const unsigned char *in, unsigned char *out) {
  if constexpr (I < L.nruns) {
    memcpy(out + L.runs[I].offset, in + L.runs[I].packed, L.runs[I].size);
    unpack_runs<L, I + 1>(in, out);
  }
}

// The pack and unpack of the layout L, for a module's Module.
template <const auto &L>
void packer(void *packed, const void *record) {
  pack_runs<L>(static_cast<unsigned char *>(packed), static_cast<const unsigned char *>(record));
}
template <const auto &L>
void unpacker(const void *packed, void *record) {
  unpack_runs<L>(static_cast<const unsigned char *>(packed), static_cast<unsigned char *>(record));
}

inline void pack(const Module &m, void *packed, const void *record) {
  m.pack(packed, record);
}

inline void unpack(const Module &m, const void *packed, void *record) {
  m.unpack(packed, record);
}

// ---- description ------------------------------------------------------------

inline int32 wr_desc(const Module &m, char *buffer) {
  strcpy(buffer, kOpen1);
  strcat(buffer, m.header);
  strcat(buffer, kOpen2);
  strcat(buffer, m.vgroup_name);
  strcat(buffer, kOpen3);
  strcat(buffer, m.text);
  return 0;
}

// ---- open and close ---------------------------------------------------------

// False, with the module's message, when the module is open already.
inline bool may_open(const Module &m, const char *op) {
  const Use use = m.session->use;
  if (use == Use::kIdle) return true;
  fail(m, op, "state check: the module is already open for %s.",
       use == Use::kWriting ? "writing" : "reading");
  return false;
}

// True while the module holds an attached Vdata or a selected SDS.
inline bool holds_tables(const Module &m) {
  bool held = *m.vdata_id != -1;
  for (int k = 0; k < m.layout.nsds; ++k) held = held || *m.sds_id[k] != -1;
  return held;
}

// Lets go of the attached Vdata and the selected SDS, in that order.
inline void release_tables(const Module &m) {
  if (*m.vdata_id != -1) VSdetach(*m.vdata_id);
  *m.vdata_id = -1;
  for (int k = 0; k < m.layout.nsds; ++k) {
    if (*m.sds_id[k] != -1) SDendaccess(*m.sds_id[k]);
    *m.sds_id[k] = -1;
  }
}

// A record position is a record's index, or -1 for the next one.
inline bool position_ok(const Module &m, const char *op, int32 position) {
  if (position >= -1) return true;
  fail(m, op, "position check: %d is below -1.", position);
  return false;
}

// ---- writing ----------------------------------------------------------------

// The slab of an SDS member that holds record `index`.
inline void slab(const hlc_edr_member &s, int32 index, int32 start[], int32 edges[]) {
  for (int d = 0; d <= HLC_EDR_MAX_RANK; ++d) {
    start[d] = d == 0 ? index : 0;
    edges[d] = d == 0 ? 1 : d <= s.rank ? s.dims[d - 1].size : 0;
  }
}

// ---- write-behind -----------------------------------------------------------
//
// A record written on its own costs HDF4 thousands of instructions of
// bookkeeping and number conversion; a block of records in one VSwrite (and
// one SDwritedata per SDS) costs little more than the copy. Records appended
// while the module is open for writing are therefore kept, packed, in a
// block of about kBehindBytes: the table's packed records, then each SDS's
// slabs, record after record. The block is written when it is full, and
// before anything that must see the records: a positional write, a read,
// flush_wr and close_wr.

#ifndef HLC_RM_BEHIND_BYTES
#define HLC_RM_BEHIND_BYTES (64 * 1024)
#endif
constexpr size_t kBehindBytes = HLC_RM_BEHIND_BYTES;

// The bytes one record takes in the block: its packed record and its slabs.
inline size_t behind_size(const Module &m) {
  size_t size = m.layout.packed_size;
  for (int k = 0; k < m.layout.nsds; ++k) size += sds(m, k).size;
  return size;
}

// Where SDS k's slabs start in the block.
inline uint8 *behind_slabs(const Module &m, int k) {
  size_t at = m.layout.packed_size;
  for (int j = 0; j < k; ++j) at += sds(m, j).size;
  return m.session->behind + at * static_cast<size_t>(m.session->room);
}

// Sets up the block when the module is opened for writing with all its
// tables (a write to a missing table goes straight to HDF4, which reports
// it at once). Records larger than half a block, or a block that cannot be
// had, are written one by one.
inline void start_behind(const Module &m) {
  Session &s = *m.session;
  s.held = 0;
  s.room = static_cast<int32>(kBehindBytes / behind_size(m));
  bool tables = *m.vdata_id != -1;
  for (int k = 0; k < m.layout.nsds; ++k) tables = tables && *m.sds_id[k] != -1;
  if (s.room < 2 || !tables) {
    s.room = 0;
    return;
  }
  s.behind = static_cast<uint8 *>(malloc(behind_size(m) * static_cast<size_t>(s.room)));
  if (s.behind == nullptr) s.room = 0;
}

inline void end_behind(const Module &m) {
  free(m.session->behind);
  m.session->behind = nullptr;
  m.session->room = 0;
  m.session->held = 0;
}

// Writes the records kept, in the name of `op`: the table's with one
// VSwrite where the table stands, the slabs with one SDwritedata per SDS
// from the next SDS record on. The block is empty afterwards, written or not.
[[gnu::noinline]] inline int32 write_behind(const Module &m, const char *op) {
  Session &s = *m.session;
  const int32 n = s.held;
  if (n == 0) return 0;
  s.held = 0;
  int32 status = 0;
  if (VSwrite(*m.vdata_id, s.behind, n, FULL_INTERLACE) != n) {
    fail(m, op, "VSwrite: Couldn't write data.");
    status = -1;
  }
  if (m.layout.nsds > 0) {
    const int32 index = *m.recnum_wr;
    *m.recnum_wr += n;
    for (int k = 0; k < m.layout.nsds; ++k) {
      const hlc_edr_member &a = sds(m, k);
      int32 start[1 + HLC_EDR_MAX_RANK], edges[1 + HLC_EDR_MAX_RANK];
      slab(a, index, start, edges);
      edges[0] = n;
      if (SDwritedata(*m.sds_id[k], start, nullptr, edges, behind_slabs(m, k)) == -1) {
        fail(m, op, "SDwritedata: Problem writing %s data.", a.name);
        status = -1;
      }
    }
  }
  return status;
}

// Keeps an appended record in the block, which the module has only while
// it is open for writing (from start_behind to end_behind). False when the
// record must be written now.
[[gnu::always_inline]] inline bool keep_behind(const Module &m, const void *record) {
  Session &s = *m.session;
  if (s.room == 0) return false;
  pack(m, s.behind + m.layout.packed_size * static_cast<size_t>(s.held), record);
  for (int k = 0; k < m.layout.nsds; ++k) {
    const hlc_edr_member &a = sds(m, k);
    memcpy(behind_slabs(m, k) + a.size * static_cast<size_t>(s.held),
           static_cast<const unsigned char *>(record) + a.offset, a.size);
  }
  ++s.held;
  return true;
}

inline int32 init_cr(const Module &m, int32 file_id, int32 sd_id, int32 an_id,
                     const char *vdata_class) {
  static const char op[] = "init_cr_";
  if (!may_open(m, op)) return -1;
  m.session->use = Use::kWriting;
  int32 status = 0;

  *m.vgrp_id = Vattach(file_id, -1, "w");
  if (*m.vgrp_id == -1) {
    fail(m, op, "Vattach: Couldn't create Vgroup");
    status = -1;
  }
  Vsetname(*m.vgrp_id, m.vgroup_name);
  Vsetclass(*m.vgrp_id, m.vgroup_class);

  int32 vgrp_ref = Vfind(file_id, m.vgroup_name);
  if (vgrp_ref == -1) {
    fail(m, op, "Vfind: Couldn't get Vgrp reference");
    status = -1;
  }

  // The whole buffer is written to the file: text, then zero bytes.
  memset(m.desc, 0, static_cast<size_t>(m.desc_size));
  wr_desc(m, m.desc);
  int32 ann_id = ANcreate(an_id, DFTAG_VG, static_cast<uint16>(vgrp_ref), AN_DATA_DESC);
  if (ann_id == -1) {
    fail(m, op, "ANcreate: Can't create Vgrp description");
    status = -1;
  }
  if (ANwriteann(ann_id, m.desc, m.desc_size) == -1) {
    fail(m, op, "ANwriteann: Can't write Vgrp description");
    status = -1;
  }
  ANendaccess(ann_id);

  *m.vdata_id = VSattach(file_id, -1, "w");
  if (*m.vdata_id == -1) {
    fail(m, op, "VSattach: Couldn't attach to Vdata");
    status = -1;
  }
  VSsetname(*m.vdata_id, m.record_name);
  VSsetclass(*m.vdata_id, vdata_class);
  if (Vinsert(*m.vgrp_id, *m.vdata_id) == -1) {
    fail(m, op, "Vinsert: Couldn't insert Vdata into Vgroup");
    status = -1;
  }
  for (int i = 0; i < m.layout.nfields; ++i) {
    const hlc_edr_member &f = field(m, i);
    if (VSfdefine(*m.vdata_id, f.name, f.type, f.order) != 0) {
      fail(m, op, "VSfdefine: Couldn't define %s", f.name);
      status = -1;
    }
  }
  if (VSsetfields(*m.vdata_id, m.field_list) != 0) {
    fail(m, op, "VSsetfields: Couldn't set fields");
    status = -1;
  }

  // SDS failures are reported but leave the status as it is.
  for (int k = 0; k < m.layout.nsds; ++k) {
    const hlc_edr_member &s = sds(m, k);
    int32 dims[1 + HLC_EDR_MAX_RANK] = {SD_UNLIMITED};
    for (int d = 0; d < s.rank; ++d) dims[d + 1] = s.dims[d].size;
    *m.sds_id[k] = SDcreate(sd_id, s.sds, s.type, 1 + s.rank, dims);
    if (*m.sds_id[k] == -1) fail(m, op, "SDcreate: Couldn't create %s", s.sds);
    int32 sds_ref = SDidtoref(*m.sds_id[k]);
    if (sds_ref == -1) fail(m, op, "SDidtoref: Couldn't get ref for %s", s.sds);
    // Without a reference the SDS cannot join the Vgroup: adding -1 would
    // put a reference to no object into it.
    if (sds_ref == -1 || Vaddtagref(*m.vgrp_id, DFTAG_NDG, sds_ref) == -1) {
      fail(m, op, "Vaddtagref: Couldn't add SDS %s to Vgrp", s.sds);
    }
  }
  if (m.layout.nsds > 0) *m.recnum_wr = 0;
  start_behind(m);
  return status;
}

// A record written at once: at a position, or appended where it cannot be
// kept.
[[gnu::noinline]] inline int32 write_now(const Module &m, const void *record, int32 position) {
  static const char op[] = "write_";
  // Nothing is written at a position that is no record's: the Vdata would
  // append while the slabs went elsewhere, misaligned for good.
  if (!position_ok(m, op, position)) return -1;
  // The records kept go first, where they belong; when they cannot be
  // written, where the table stands is unknown, and nothing more is.
  if (write_behind(m, op) == -1) return -1;
  int32 status = 0;
  alignas(8) uint8 packed[kMaxPacked];
  if (m.layout.packed_size > sizeof packed) {
    fail(m, op, "pack: record larger than the working buffer.");
    return -1;
  }
  pack(m, packed, record);

  if (position != -1) {
    // A position past the last record would leave a gap of records that
    // were never written (zeros in the table, fill values in the slabs).
    const int32 count = VSelts(*m.vdata_id);
    if (count >= 0 && position > count) {
      fail(m, op, "position check: %d is past the end of the %d records.", position, count);
      return -1;
    }
    if (m.layout.nsds > 0) *m.recnum_wr = position;
    if (VSseek(*m.vdata_id, position) == -1) {
      fail(m, op, "VSseek: error.");
      status = -1;
    }
  }
  if (VSwrite(*m.vdata_id, packed, 1, FULL_INTERLACE) == -1) {
    fail(m, op, "VSwrite: Couldn't write data.");
    status = -1;
  }
  if (m.layout.nsds > 0) {
    int32 index = (*m.recnum_wr)++;
    for (int k = 0; k < m.layout.nsds; ++k) {
      const hlc_edr_member &s = sds(m, k);
      int32 start[1 + HLC_EDR_MAX_RANK], edges[1 + HLC_EDR_MAX_RANK];
      slab(s, index, start, edges);
      void *data =
          const_cast<unsigned char *>(static_cast<const unsigned char *>(record)) + s.offset;
      if (SDwritedata(*m.sds_id[k], start, nullptr, edges, data) == -1) {
        fail(m, op, "SDwritedata: Problem writing %s data.", s.name);
        status = -1;
      }
    }
  }
  return status;
}

// An append is kept in the block, which is written when full; that is
// all that a record costs most of the time, so it is made in the module's
// own operation, for its own layout.
[[gnu::always_inline]] inline int32 write(const Module &m, const void *record, int32 position) {
  if (position == -1 && keep_behind(m, record)) {
    return m.session->held == m.session->room ? write_behind(m, "write_") : 0;
  }
  return write_now(m, record, position);
}

// Writes the records kept back: 0, or -1 when they could not be written.
inline int32 flush_wr(const Module &m) {
  return write_behind(m, "flush_wr_");
}

// init_wr_<m> and init_rd_<m>: the state check in the name of the operation
// called, then init_cr_<m> or init_acc_<m>.
inline int32 init_wr(const Module &m, int32 (*init_cr)(int32, int32, int32, const char *),
                     int32 file_id, int32 sd_id, int32 an_id, const char *vdata_class) {
  if (!may_open(m, "init_wr_")) return -1;
  return init_cr(file_id, sd_id, an_id, vdata_class);
}

// Does nothing unless the module is open for writing, so that no identifier
// is let go twice (HDF4 may have given it to another table since). Records
// still kept back are written first; a failure is reported, as the
// operation has no result (a writer that must know calls flush_wr first).
inline void close_wr(const Module &m) {
  if (m.session->use != Use::kWriting) return;
  write_behind(m, "close_wr_");
  end_behind(m);
  if (*m.vdata_id != -1) VSdetach(*m.vdata_id);
  *m.vdata_id = -1;
  if (*m.vgrp_id != -1) Vdetach(*m.vgrp_id);
  release_tables(m);  // the SDS
  m.session->use = Use::kIdle;
}

// ---- reading ----------------------------------------------------------------

// True when the SDS has the record array's number type, rank and fixed
// dimensions.
inline bool sds_matches(const hlc_edr_member &s, int32 sds_id) {
  char name[H4_MAX_NC_NAME + 1];
  int32 rank = 0, dims[H4_MAX_VAR_DIMS], type = 0, nattrs = 0;
  if (SDgetinfo(sds_id, name, &rank, dims, &type, &nattrs) == -1) return false;
  if (type != s.type || rank != 1 + s.rank) return false;
  for (int d = 0; d < s.rank; ++d) {
    if (dims[d + 1] != s.dims[d].size) return false;
  }
  return true;
}

// True when every field of the attached table has the record's number type
// and order, so that a record read is exactly the packed size.
inline bool vdata_matches(const Module &m, int32 vdata_id) {
  for (int i = 0; i < m.layout.nfields; ++i) {
    const hlc_edr_member &f = field(m, i);
    int32 index = -1;
    if (VSfindex(vdata_id, f.name, &index) == -1) return false;
    if (VFfieldtype(vdata_id, index) != f.type || VFfieldorder(vdata_id, index) != f.order) {
      return false;
    }
  }
  char list[4096];
  if (strlen(m.field_list) >= sizeof list) return false;
  strcpy(list, m.field_list);
  return VSsizeof(vdata_id, list) == static_cast<int32>(m.layout.packed_size);
}

// ---- what the file stores -----------------------------------------------------

// HDF4 reads a Vdata record as its stored header describes it: the record
// size, and per field its number type, size, place and order. A header that
// disagrees with the module's layout, or that claims more records than the
// stored data holds, would make a read take bytes from outside the record
// or write past the caller's buffer; each check below says what disagrees.

inline uint32 stored_u16(const uint8 *p) {
  return (static_cast<uint32>(p[0]) << 8) | p[1];
}
inline int32 stored_i32(const uint8 *p) {
  return static_cast<int32>((static_cast<uint32>(p[0]) << 24) | (static_cast<uint32>(p[1]) << 16) |
                            stored_u16(p + 2));
}

// The Vdata header as the file stores it: interlace (int16), record count
// (int32), record size (uint16), field count (int16), then per field the
// number types, sizes, offsets and orders (16 bits each, one array after the
// other), then per field its name (a 16-bit length and the characters).
inline bool stored_header_ok(const Module &m, const char *op, int32 file_id, int32 ref,
                             int32 count) {
  constexpr int32 kMaxHeader = 8192;  // a header of 44 fields takes about 1,300 bytes
  uint8 h[kMaxHeader];
  const int32 length = Hlength(file_id, DFTAG_VH, static_cast<uint16>(ref));
  if (length < 10 || length > kMaxHeader) {
    fail(m, op, "Hlength: the Vdata header is %d bytes long.", length);
    return false;
  }
  if (Hgetelement(file_id, DFTAG_VH, static_cast<uint16>(ref), h) != length) {
    fail(m, op, "Hgetelement: Couldn't read the Vdata header.");
    return false;
  }
  const int32 interlace = static_cast<int16>(stored_u16(h));
  const int32 records = stored_i32(h + 2);
  const uint32 size = stored_u16(h + 6);
  const int32 n = static_cast<int16>(stored_u16(h + 8));
  if (interlace != FULL_INTERLACE) {
    fail(m, op, "Hgetelement: the table is stored with interlace %d, not %d.", interlace,
         FULL_INTERLACE);
    return false;
  }
  if (records != count) {
    fail(m, op, "Hgetelement: the header holds %d records, VSinquire %d.", records, count);
    return false;
  }
  if (size != m.layout.packed_size) {
    fail(m, op, "Hgetelement: the stored record is %u bytes, the record's %zu.", size,
         m.layout.packed_size);
    return false;
  }
  if (n != m.layout.nfields) {
    fail(m, op, "Hgetelement: the table stores %d fields, the record has %d.", n, m.layout.nfields);
    return false;
  }
  int32 at = 10 + 8 * n;
  if (at > length) {
    fail(m, op, "Hgetelement: the Vdata header is cut short.");
    return false;
  }
  for (int i = 0; i < n; ++i) {
    const hlc_edr_member &f = field(m, i);
    const uint32 type = stored_u16(h + 10 + 2 * i);
    const uint32 fsize = stored_u16(h + 10 + 2 * (n + i));
    const uint32 offset = stored_u16(h + 10 + 2 * (2 * n + i));
    const uint32 order = stored_u16(h + 10 + 2 * (3 * n + i));
    const char *what = nullptr;
    uint32 stored = 0;
    size_t own = 0;
    if (type != static_cast<uint32>(f.type)) {
      what = "number type", stored = type, own = static_cast<size_t>(f.type);
    } else if (order != static_cast<uint32>(f.order)) {
      what = "order", stored = order, own = static_cast<size_t>(f.order);
    } else if (fsize != f.size) {
      what = "size", stored = fsize, own = f.size;
    } else if (offset != f.packed_offset) {
      what = "offset", stored = offset, own = f.packed_offset;
    }
    if (what != nullptr) {
      fail(m, op, "Hgetelement: field %s is stored with %s %u, the record's is %zu.", f.name, what,
           stored, own);
      return false;
    }
    const int32 name_length = at + 2 <= length ? static_cast<int32>(stored_u16(h + at)) : -1;
    if (name_length < 0 || at + 2 + name_length > length ||
        static_cast<size_t>(name_length) != strlen(f.name) ||
        memcmp(h + at + 2, f.name, static_cast<size_t>(name_length)) != 0) {
      fail(m, op, "Hgetelement: field %d of the stored table is not %s.", i + 1, f.name);
      return false;
    }
    at += 2 + name_length;
  }
  return true;
}

// The stored data of the table is exactly its records: count x record size
// bytes (none for an empty table).
inline bool stored_records_ok(const Module &m, const char *op, int32 file_id, int32 ref,
                              int32 count) {
  const int32 stored = Hlength(file_id, DFTAG_VS, static_cast<uint16>(ref));
  const long long need =
      static_cast<long long>(count) * static_cast<long long>(m.layout.packed_size);
  if (count == 0 ? stored <= 0 : stored == need) return true;
  fail(m, op, "Hlength: the table stores %d bytes, its %d records of %zu bytes take %lld.",
       stored < 0 ? 0 : stored, count, m.layout.packed_size, need);
  return false;
}

// The SDS holds one slab per record of the table, and its stored data is
// exactly those slabs. The data is the DFTAG_SD element that the SDS's
// group (DFTAG_NDG, the reference SDidtoref gives) names.
inline bool stored_slabs_ok(const Module &m, const char *op, int32 file_id, const hlc_edr_member &s,
                            int32 sds_id, int32 count) {
  char name[H4_MAX_NC_NAME + 1];
  int32 rank = 0, dims[H4_MAX_VAR_DIMS], type = 0, nattrs = 0;
  if (SDgetinfo(sds_id, name, &rank, dims, &type, &nattrs) == -1) {
    fail(m, op, "SDgetinfo: Couldn't get the shape of %s", s.sds);
    return false;
  }
  if (dims[0] != count) {
    fail(m, op, "SDgetinfo: %s holds %d records, the table %d.", s.sds, dims[0], count);
    return false;
  }
  int32 stored = 0;
  const int32 group = SDidtoref(sds_id);
  uint8 pairs[64];
  const int32 length = group > 0 ? Hlength(file_id, DFTAG_NDG, static_cast<uint16>(group)) : -1;
  if (length > 0 && length <= static_cast<int32>(sizeof pairs) &&
      Hgetelement(file_id, DFTAG_NDG, static_cast<uint16>(group), pairs) == length) {
    for (int32 k = 0; k + 4 <= length; k += 4) {
      if (stored_u16(pairs + k) == DFTAG_SD) {
        stored = Hlength(file_id, DFTAG_SD, static_cast<uint16>(stored_u16(pairs + k + 2)));
        break;
      }
    }
  }
  const long long need = static_cast<long long>(count) * static_cast<long long>(s.size);
  if (count == 0 ? stored <= 0 : stored == need) return true;
  fail(m, op, "Hlength: %s stores %d bytes, its %d records of %lld bytes take %lld.", s.sds,
       stored < 0 ? 0 : stored, count, static_cast<long long>(s.size), need);
  return false;
}

// The steps of init_acc: the SDS, then the Vdata. Whatever a failed step
// leaves selected or attached stays held until close_rd.
inline int32 open_tables(const Module &m, int32 file_id, int32 sd_id, const char *access) {
  static const char op[] = "init_acc_";
  for (int k = 0; k < m.layout.nsds; ++k) {
    const hlc_edr_member &s = sds(m, k);
    int32 index = SDnametoindex(sd_id, s.sds);
    if (index == -1) {
      fail(m, op, "SDnametoindex: Couldn't find %s", s.sds);
      return -1;
    }
    *m.sds_id[k] = SDselect(sd_id, index);
    if (*m.sds_id[k] == -1) {
      fail(m, op, "SDselect: Couldn't select sds_index%d", k + 1);
      return -1;
    }
    // A slab is read straight into the record's array: an SDS of another
    // type or shape (a damaged or foreign file) would overrun it.
    if (!sds_matches(s, *m.sds_id[k])) {
      fail(m, op, "SDgetinfo: %s is not of the record's type and shape", s.sds);
      SDendaccess(*m.sds_id[k]);
      *m.sds_id[k] = -1;
      return -1;
    }
  }
  int32 ref = VSfind(file_id, m.record_name);
  if (ref <= 0) {
    fail(m, op, "VSfind: Found no vdata of specified type.");
    return 0;
  }
  *m.vdata_id = VSattach(file_id, ref, access);
  if (*m.vdata_id == -1) {
    fail(m, op, "VSattach: Couldn't attach to hdf file.");
    return -1;
  }
  // A freshly attached Vdata reads from its first record.
  m.session->vdata_pos = 0;
  int32 count = 0;
  if (VSinquire(*m.vdata_id, &count, nullptr, nullptr, nullptr, nullptr) == FAIL) {
    fail(m, op, "VSinquire: Couldn't get the number of records.");
    return -1;
  }
  if (count > 0) {
    if (VSsetfields(*m.vdata_id, m.field_list) != 0) {
      fail(m, op, "VSsetfields: Unable to set fields.");
      return -1;
    }
    if (!stored_header_ok(m, op, file_id, ref, count)) {
      release_tables(m);
      return -1;
    }
    // A record is read into a buffer of the packed size: a table whose
    // fields have other types or orders would overrun it. Such a table is
    // let go, so that no read reaches it.
    if (!vdata_matches(m, *m.vdata_id)) {
      fail(m, op, "VSsizeof: Table fields are not those of the record.");
      VSdetach(*m.vdata_id);
      *m.vdata_id = -1;
      return -1;
    }
  }
  // What the file stores behind the table and its SDS: a disagreement lets
  // go of everything, so that no read reaches any of it.
  bool sound = stored_records_ok(m, op, file_id, ref, count);
  for (int k = 0; sound && k < m.layout.nsds; ++k) {
    sound = stored_slabs_ok(m, op, file_id, sds(m, k), *m.sds_id[k], count);
  }
  if (!sound) {
    release_tables(m);
    return -1;
  }
  return count;
}

inline int32 init_acc(const Module &m, int32 file_id, int32 sd_id, const char *access) {
  static const char op[] = "init_acc_";
  if (!may_open(m, op)) return -1;
  m.session->use = Use::kReading;
  const int32 result = open_tables(m, file_id, sd_id, access);
  // Open for reading while anything is held, until close_rd lets it go.
  if (!holds_tables(m)) m.session->use = Use::kIdle;
  return result;
}

inline int32 init_rd(const Module &m, int32 (*init_acc)(int32, int32, const char *), int32 file_id,
                     int32 sd_id, const char *access) {
  if (!may_open(m, "init_rd_")) return -1;
  return init_acc(file_id, sd_id, access);
}

inline int32 read(const Module &m, void *record, int32 position) {
  static const char op[] = "read_";
  if (!position_ok(m, op, position)) return -1;
  // A read of a table open for writing sees the records kept back too.
  if (write_behind(m, op) == -1) return -1;
  if (position == -1) position = *m.recnum_rd + 1;
  int32 count = 0;
  VSinquire(*m.vdata_id, &count, nullptr, nullptr, nullptr, nullptr);
  if (position >= count) return -1;

  int32 status = 0;
  // Sequential reads do not seek. The Vdata's own position is what counts:
  // after the table is opened again it stands at record 0, whatever was read
  // before, so a read that continues the old sequence seeks.
  // After a failed seek the Vdata stands anywhere: the next read seeks.
  bool lost = false;
  if (position != m.session->vdata_pos) {
    if (VSseek(*m.vdata_id, position) == -1) {
      fail(m, op, "VSseek unsuccessful");
      status = -1;
      lost = true;
    }
  }
  *m.recnum_rd = position;
  for (int k = 0; k < m.layout.nsds; ++k) {
    const hlc_edr_member &s = sds(m, k);
    int32 start[1 + HLC_EDR_MAX_RANK], edges[1 + HLC_EDR_MAX_RANK];
    slab(s, position, start, edges);
    if (SDreaddata(*m.sds_id[k], start, nullptr, edges,
                   static_cast<unsigned char *>(record) + s.offset) == -1) {
      fail(m, op, "SDreaddata: Couldn't read %s", s.name);
      status = -1;
    }
  }
  alignas(8) uint8 packed[kMaxPacked];
  if (m.layout.packed_size > sizeof packed) {
    fail(m, op, "unpack: record larger than the working buffer.");
    return -1;
  }
  memset(packed, 0, m.layout.packed_size);  // what a failed read leaves
  if (VSread(*m.vdata_id, packed, 1, FULL_INTERLACE) == -1) {
    fail(m, op, "VSread: Couldn't read data.");
    status = -1;
    lost = true;
  }
  m.session->vdata_pos = lost ? -1 : position + 1;
  unpack(m, packed, record);
  return status;
}

// Copies `count` values of N bytes, one every `stride` bytes from `from`, back
// to back into `to`: a copy of a constant size, which the compiler makes a
// move of its own rather than a call.
template <size_t N>
inline void gather_values(unsigned char *to, const uint8 *from, size_t stride, int32 count) {
  for (int32 r = 0; r < count; ++r) {
    memcpy(to + N * static_cast<size_t>(r), from + stride * static_cast<size_t>(r), N);
  }
}

// The same for values of any size: the scalars' sizes by their own copy.
inline void gather_values(unsigned char *to, const uint8 *from, size_t size, size_t stride,
                          int32 count) {
  switch (size) {
    case 1:
      return gather_values<1>(to, from, stride, count);
    case 2:
      return gather_values<2>(to, from, stride, count);
    case 4:
      return gather_values<4>(to, from, stride, count);
    case 8:
      return gather_values<8>(to, from, stride, count);
  }
  for (int32 r = 0; r < count; ++r) {
    memcpy(to + size * static_cast<size_t>(r), from + stride * static_cast<size_t>(r), size);
  }
}

// Reads `count` records from `position` into the caller's columns, one per
// member in declaration order (null: the member is skipped), each taking
// `count` values back to back as the record structure holds them: the
// Vdata fields wanted from one VSread of the block (of those fields alone
// when not all are wanted), scattered into their columns,
// each SDS by one hyperslab straight into its column. Nothing is read
// unless the module is open for reading and the block lies within the
// table. The next read_<m>(r, -1) continues after the block.
inline int32 read_block(const Module &m, int32 position, int32 count, void *const *columns) {
  static const char op[] = "read_block_";
  if (m.session->use != Use::kReading || *m.vdata_id == -1) {
    fail(m, op, "state check: the module is not open for reading.");
    return -1;
  }
  if (position < 0 || count < 0) {
    fail(m, op, "block check: position %d and count %d, neither may be negative.", position, count);
    return -1;
  }
  int32 records = 0;
  if (VSinquire(*m.vdata_id, &records, nullptr, nullptr, nullptr, nullptr) == FAIL) {
    fail(m, op, "VSinquire: Couldn't get the number of records.");
    return -1;
  }
  if (position > records || count > records - position) {
    fail(m, op, "block check: %d records from %d go past the table's %d records.", count, position,
         records);
    return -1;
  }
  if (columns == nullptr && count > 0) {
    fail(m, op, "block check: no columns given.");
    return -1;
  }
  *m.recnum_rd = position + count - 1;
  if (count == 0) return 0;

  int32 status = 0;
  for (int k = 0; k < m.layout.nsds; ++k) {
    const hlc_edr_member &s = sds(m, k);
    void *column = columns[m.layout.sds_index[k]];
    if (column == nullptr) continue;
    int32 start[1 + HLC_EDR_MAX_RANK], edges[1 + HLC_EDR_MAX_RANK];
    slab(s, position, start, edges);
    edges[0] = count;
    if (SDreaddata(*m.sds_id[k], start, nullptr, edges, column) == -1) {
      fail(m, op, "SDreaddata: Couldn't read %s", s.name);
      status = -1;
    }
  }
  // The fields wanted, in the table's order. When only some are, HDF4 is
  // given a field list of their own, so that it unpacks those alone (and
  // packs them back to back in that order); the table's own list is set
  // again after the read, for read_<m>.
  int wanted = 0;
  size_t packed = 0;
  for (int i = 0; i < m.layout.nfields; ++i) {
    if (columns[m.layout.field_index[i]] != nullptr) {
      ++wanted;
      packed += field(m, i).size;
    }
  }
  if (wanted == 0) return status;
  const bool some = wanted < m.layout.nfields;
  if (!some) packed = m.layout.packed_size;
  uint8 *block = static_cast<uint8 *>(malloc(packed * static_cast<size_t>(count)));
  char *list = some ? static_cast<char *>(malloc(strlen(m.field_list) + 1)) : nullptr;
  if (block == nullptr || (some && list == nullptr)) {
    fail(m, op, "malloc: no memory for %d records of %zu bytes.", count, packed);
    free(block);
    free(list);
    return -1;
  }
  if (some) {
    list[0] = '\0';
    for (int i = 0; i < m.layout.nfields; ++i) {
      if (columns[m.layout.field_index[i]] == nullptr) continue;
      if (list[0] != '\0') strcat(list, ",");
      strcat(list, field(m, i).name);
    }
    if (VSsetfields(*m.vdata_id, list) != 0) {
      fail(m, op, "VSsetfields: Unable to set the fields %s.", list);
      free(block);
      free(list);
      return -1;
    }
  }
  bool lost = false;
  if (position != m.session->vdata_pos && VSseek(*m.vdata_id, position) == -1) {
    fail(m, op, "VSseek unsuccessful");
    lost = true;
  } else if (VSread(*m.vdata_id, block, count, FULL_INTERLACE) != count) {
    fail(m, op, "VSread: Couldn't read data.");
    lost = true;
  }
  m.session->vdata_pos = lost ? -1 : position + count;
  if (some && VSsetfields(*m.vdata_id, m.field_list) != 0) {
    // Its reads would take the block's fields for whole records: the
    // tables are let go, and every read is refused until they are opened
    // again.
    fail(m, op, "VSsetfields: Unable to set fields.");
    release_tables(m);
    m.session->use = Use::kIdle;
    lost = true;
  }
  free(list);
  if (lost) {
    free(block);
    return -1;
  }
  size_t at = 0;  // of the field in the block's records
  for (int i = 0; i < m.layout.nfields; ++i) {
    const hlc_edr_member &f = field(m, i);
    unsigned char *column = static_cast<unsigned char *>(columns[m.layout.field_index[i]]);
    if (column == nullptr) continue;
    gather_values(column, block + (some ? at : f.packed_offset), f.size, packed, count);
    at += f.size;
  }
  free(block);
  return status;
}

// Does nothing unless the module is open for reading (after a failed
// init_acc too, which may have left an SDS selected).
inline void close_rd(const Module &m) {
  if (m.session->use != Use::kReading) return;
  release_tables(m);
  m.session->use = Use::kIdle;
}

// Number printed to identify the annotation list of one rd_Vgrp_desc call.
inline int32 next_list_number() {
  static int32 lists = 0;
  return ++lists;
}

inline void rd_desc(const Module &m, int32 file_id, int32 an_id) {
  static const char op[] = "rd_Vgrp_";
  int32 ref = Vfind(file_id, m.vgroup_name);
  if (ref == -1) fail(m, op, "Vfind: Couldn't get Vgrp reference.");

  intn n = ANnumann(an_id, AN_DATA_DESC, DFTAG_VG, static_cast<uint16>(ref));
  if (n == -1) fail(m, op, "ANnumann: Couldn't get number of annotations.");
  printf("1numann= %d \n", n);
  int32 *list = static_cast<int32 *>(calloc(n > 0 ? static_cast<size_t>(n) : 1, sizeof(int32)));
  int32 list_number = next_list_number();
  printf("1ann_list= %d \n", list_number);

  // A Vgroup without descriptions is listed too (HDF4 gives 0); only a
  // failed count leaves nothing to list.
  intn listed = -1;
  if (list != nullptr && n >= 0) {
    listed = ANannlist(an_id, AN_DATA_DESC, DFTAG_VG, static_cast<uint16>(ref), list);
  }
  if (listed == -1) fail(m, op, "ANannlist: Couldn't");
  printf("2numann= %d \n", listed);
  printf("2ann_list= %d \n", list_number);

  // The last description in this Vgroup's own list. (An index given to
  // ANselect would count the descriptions of the whole file, which belong to
  // every product's Vgroup, not to this one.)
  int32 ann_id = -1;
  if (listed > 0 && listed <= n) ann_id = list[listed - 1];
  if (ann_id == -1) fail(m, op, "ANselect: Couldn't");

  // Cleared first: a read that fails must not show an earlier description.
  memset(m.desc, 0, static_cast<size_t>(m.desc_size));
  if (ANreadann(ann_id, m.desc, m.desc_size) == -1) fail(m, op, "ANreadann: Couldn't");
  printf("AN: %.*s\n", static_cast<int>(m.desc_size), m.desc);
  fflush(stdout);
  ANendaccess(ann_id);
  ANend(an_id);
  free(list);
}

}  // namespace hlc_rm
}  // namespace

#endif  // HLC_EDR_RECORD_MODULE_H
