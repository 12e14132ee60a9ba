/* The floors of hlc_edr's speed: programs that write the EDR that hlc_edr
   writes for the same TLM file with as little as can be, so that what
   hlc_edr costs beyond them is its own.

     floor [-direct|-batch|-bare|-read] -inst gem|gim|con|mec -tlm TLM -edr EDR

   Both read the file in 64 KiB pieces, find the records of the instrument
   (the fixed records of a packet, the segments of a science record put
   together by their time stamp), decode nothing (a record's packet bytes
   are taken as they are), check nothing beyond what finds the records and
   print no log. Both create the output file and its interfaces, each
   product's tables at its first record, and shut down as hlc_edr does.

   Through the modules (the default): each record is copied into its record
   structure and appended with the record module's write operation, with
   HDF4's fill writes of the SDS turned off as hlc_edr does, so the floor
   makes the same HDF4 calls in the same order as hlc_edr and counts what
   the record modules cost.

   Direct (-direct): no record module is called. Each product's objects are
   made from its layout descriptor (hlc_edr_layout.h): the Vgroup, its
   description annotation of the module's size, the Vdata with one VSfdefine
   per field and the field list, one SDS per array member; per record one
   VSwrite of the record's bytes as the packed record and one SDwritedata per
   SDS from the bytes that follow it. This is HDF4's own cost of the file
   written a record at a time.

   Batching (-batch): the objects of -direct, with HDF4's fill writes of the
   SDS turned off (SD_NOFILL), and the records of each product gathered
   into blocks of up to 1,000 records (1 MiB at most) written with one
   VSwrite and one SDwritedata per SDS a block: HDF4's cost of the file when
   it is called as seldom as it can be.

   Bare I/O (-bare): the same bytes (each record's packed record and slabs)
   written to the output with write(2) in 64 KiB pieces, no HDF4 at all.
   Reading (-read): the TLM file read and its records found, nothing
   written (no output file).

   Exit status 0 after the final rename, 1 on any failure. */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "hlc_edr_layout.h"
#include "mfhdf.h"

#define KEEP(a, b) ((a) < (b) ? (a) : (b))

static void fail(const char *what) {
  fprintf(stderr, "floor: %s\n", what);
  exit(1);
}

/* ---- through the record modules ------------------------------------------ */

/* A record's bytes, copied unconverted into its structure (of at most this
   size) and appended through the module's write operation. */
static int32 put(const hlc_edr_product *p, const uint8 *data, size_t size) {
  static uint64_t record[32768 / sizeof(uint64_t)];
  if (p->record_size > sizeof record) fail("a record larger than the floor's");
  memset(record, 0, p->record_size);
  memcpy(record, data, KEEP(p->record_size, size));
  return p->write(record, -1);
}

/* ---- direct HDF4 calls --------------------------------------------------- */

/* A product's objects in the file, made from its descriptor. */
struct Direct {
  const hlc_edr_product *p;
  int32 vgroup, vdata;
  int32 sds[HLC_EDR_MAX_RANK];
  const hlc_edr_member *array[HLC_EDR_MAX_RANK];
  size_t from[HLC_EDR_MAX_RANK]; /* where its slab's bytes lie in a record */
  int nsds;
  int32 recnum;
};

/* The steps of a record module's creation, in its order, straight from the
   layout. */
static void direct_create(struct Direct *d, const hlc_edr_product *p, size_t size, int32 file,
                          int32 sd, int32 an) {
  d->p = p;
  d->vgroup = Vattach(file, -1, "w");
  if (d->vgroup == -1) fail("Vattach");
  Vsetname(d->vgroup, p->vgroup);
  Vsetclass(d->vgroup, p->vgroup_class);
  const int32 ref = Vfind(file, p->vgroup);
  if (ref == -1) fail("Vfind");
  char *text = calloc(1, p->desc_size);
  if (text == NULL) fail("out of memory");
  snprintf(text, p->desc_size, "The description of %s.\n", p->vgroup);
  const int32 ann = ANcreate(an, DFTAG_VG, (uint16)ref, AN_DATA_DESC);
  if (ann == -1 || ANwriteann(ann, text, (int32)p->desc_size) == -1) fail("annotation");
  ANendaccess(ann);
  free(text);
  d->vdata = VSattach(file, -1, "w");
  if (d->vdata == -1) fail("VSattach");
  VSsetname(d->vdata, p->vdata);
  VSsetclass(d->vdata, "tlm_edr_data");
  if (Vinsert(d->vgroup, d->vdata) == -1) fail("Vinsert");
  size_t from = p->packed_size;
  d->nsds = 0;
  for (int32 i = 0; i < p->nmembers; ++i) {
    const hlc_edr_member *m = &p->members[i];
    if (m->sds == NULL) {
      if (VSfdefine(d->vdata, m->name, m->type, m->order) != 0) fail("VSfdefine");
      continue;
    }
    if (d->nsds == HLC_EDR_MAX_RANK) fail("too many SDS");
    int32 dims[1 + HLC_EDR_MAX_RANK] = {SD_UNLIMITED};
    for (int32 k = 0; k < m->rank; ++k) dims[k + 1] = m->dims[k].size;
    const int32 id = SDcreate(sd, m->sds, m->type, 1 + m->rank, dims);
    if (id == -1) fail("SDcreate");
    const int32 sds_ref = SDidtoref(id);
    if (sds_ref == -1 || Vaddtagref(d->vgroup, DFTAG_NDG, sds_ref) == -1) fail("Vaddtagref");
    d->array[d->nsds] = m;
    d->sds[d->nsds] = id;
    d->from[d->nsds] = from;
    from += m->size;
    ++d->nsds;
  }
  if (VSsetfields(d->vdata, p->field_list) != 0) fail("VSsetfields");
  if (from > size) fail("a layout larger than its record's bytes");
  d->recnum = 0;
}

/* Writes n records, back to back at `vdata`, and their slabs, each SDS's
   back to back at slabs[k] (or, with slabs NULL, behind each record). */
static void direct_put(struct Direct *d, const uint8 *vdata, int32 n, uint8 *const *slabs) {
  if (VSwrite(d->vdata, vdata, n, FULL_INTERLACE) != n) fail("VSwrite");
  for (int k = 0; k < d->nsds; ++k) {
    const hlc_edr_member *m = d->array[k];
    int32 start[1 + HLC_EDR_MAX_RANK] = {d->recnum}, edges[1 + HLC_EDR_MAX_RANK] = {n};
    for (int32 j = 0; j < m->rank; ++j) edges[j + 1] = m->dims[j].size;
    const uint8 *data = slabs ? slabs[k] : vdata + d->from[k];
    if (SDwritedata(d->sds[k], start, NULL, edges, (VOIDP)data) == -1) fail("SDwritedata");
  }
  d->recnum += n;
}

static void direct_write(struct Direct *d, const uint8 *data) {
  direct_put(d, data, 1, NULL);
}

/* ---- batching ------------------------------------------------------------ */

#define BATCH_RECORDS 1000
#define BATCH_BYTES (1 << 20)

/* A product's block of records waiting to be written. */
struct Batch {
  int32 room, held;
  uint8 *vdata;
  uint8 *slabs[HLC_EDR_MAX_RANK];
};

static void batch_start(struct Batch *b, const struct Direct *d, size_t size) {
  b->room = (int32)KEEP(BATCH_RECORDS, BATCH_BYTES / size);
  if (b->room < 1) b->room = 1;
  b->held = 0;
  b->vdata = malloc(d->p->packed_size * (size_t)b->room);
  if (b->vdata == NULL) fail("out of memory");
  for (int k = 0; k < d->nsds; ++k) {
    b->slabs[k] = malloc(d->array[k]->size * (size_t)b->room);
    if (b->slabs[k] == NULL) fail("out of memory");
  }
}

static void batch_flush(struct Batch *b, struct Direct *d) {
  if (b->held > 0) direct_put(d, b->vdata, b->held, b->slabs);
  b->held = 0;
}

static void batch_write(struct Batch *b, struct Direct *d, const uint8 *data) {
  memcpy(b->vdata + d->p->packed_size * (size_t)b->held, data, d->p->packed_size);
  for (int k = 0; k < d->nsds; ++k) {
    const size_t size = d->array[k]->size;
    memcpy(b->slabs[k] + size * (size_t)b->held, data + d->from[k], size);
  }
  if (++b->held == b->room) batch_flush(b, d);
}

/* ---- bare I/O ------------------------------------------------------------ */

/* The bytes a record takes in the EDR: its packed record and its slabs. */
static size_t layout_bytes(const hlc_edr_product *p) {
  size_t n = p->packed_size;
  for (int32 i = 0; i < p->nmembers; ++i) {
    if (p->members[i].sds != NULL) n += p->members[i].size;
  }
  return n;
}

static int out_fd = -1;
static uint8 out_buffer[65536];
static size_t out_len;

static void bare_write(const uint8 *data, size_t n) {
  while (n > 0) {
    const size_t take = KEEP(n, sizeof out_buffer - out_len);
    memcpy(out_buffer + out_len, data, take);
    out_len += take;
    data += take;
    n -= take;
    if (out_len == sizeof out_buffer) {
      if (write(out_fd, out_buffer, out_len) != (ssize_t)out_len) fail("write");
      out_len = 0;
    }
  }
}

static void direct_close(struct Direct *d) {
  VSdetach(d->vdata);
  Vdetach(d->vgroup);
  for (int k = 0; k < d->nsds; ++k) SDendaccess(d->sds[k]);
}

/* ---- products ------------------------------------------------------------ */

/* The products of the program's routing: APID, unit, parts of a record
   (1 for fixed records, 2 or 3 segments), a record's size in packet bytes,
   and the module, whose operations and layout the registry gives. */
struct Product {
  int apid, inst, parts;
  size_t size;
  const char *module;
  const hlc_edr_product *p;
  int opened;
  struct Direct direct;
  struct Batch batch;
  uint8 *data; /* reassembly buffer of segmented products */
  size_t have;
  uint32 seconds;
  int subseconds;
};

#define PRODUCT(apid, inst, parts, size, m) \
  { apid, inst, parts, size, #m, NULL, 0, {0}, {0}, NULL, 0, 0, 0 }
/* In the order in which the tables are closed. */
static struct Product products[] = {
    PRODUCT(32, 1, 1, 46, gem_hk),       PRODUCT(33, 1, 1, 50, gem_mancal),
    PRODUCT(31, 1, 2, 3454, gem_normal), PRODUCT(41, 1, 2, 2360, gem_raw),
    PRODUCT(29, 2, 1, 66, gim_hk),       PRODUCT(30, 2, 1, 94, gim_mancal),
    PRODUCT(28, 2, 2, 3336, gim_normal), PRODUCT(34, 2, 3, 12934, gim_diag),
    PRODUCT(42, 2, 3, 8328, gim_raw),    PRODUCT(25, 3, 1, 52, con_hk),
    PRODUCT(24, 4, 1, 144, mec_hk),      PRODUCT(26, 4, 1, 168, mec_f1d),
};
#define NPRODUCTS (sizeof products / sizeof products[0])

/* ---- the TLM file -------------------------------------------------------- */

/* Records are served where they lie in the buffer; only the bytes of a
   record cut by the end of a piece are moved, to the buffer's start. */
static int fd = -1;
static uint8 buffer[2 * 65536 + 32];
static size_t pos, len;

/* The next n bytes in one piece, left to be read again, or NULL when the
   file ends before them. */
static const uint8 *peek(size_t n) {
  if (len - pos < n) {
    memmove(buffer, buffer + pos, len - pos);
    len -= pos;
    pos = 0;
    while (len < n) {
      const ssize_t r = read(fd, buffer + len, KEEP(65536, sizeof buffer - len));
      if (r <= 0) return NULL;
      len += (size_t)r;
    }
  }
  return buffer + pos;
}

enum Mode { MODULES, DIRECT, BATCH, BARE, READ };

int main(int argc, char **argv) {
  static const char *const words[] = {"gem", "gim", "con", "mec"};
  static const char *const modes[] = {"", "-direct", "-batch", "-bare", "-read"};
  enum Mode mode = MODULES;
  for (int i = DIRECT; argc > 1 && i <= READ; ++i) {
    if (strcmp(argv[1], modes[i]) == 0) mode = (enum Mode)i;
  }
  argv += mode != MODULES;
  argc -= mode != MODULES;
  if (argc != 7)
    fail("usage: floor [-direct|-batch|-bare|-read] -inst gem|gim|con|mec -tlm TLM -edr EDR");
  int inst = 0;
  for (int i = 0; i < 4; ++i) {
    if (strcmp(argv[2], words[i]) == 0) inst = i + 1;
  }
  if (inst == 0) fail("unknown instrument");
  char work[1100];
  snprintf(work, sizeof work, "%s.tmp", argv[6]);
  fd = open(argv[4], O_RDONLY);
  if (fd < 0) fail("cannot open the TLM file");

  int32 file = -1, sd = -1, an = -1;
  for (;;) {
    const uint8 *label = peek(20);
    if (label == NULL) break;
    const size_t length = 20 + ((size_t)label[18] << 8 | label[19]);
    const uint8 *rec = peek(length);
    if (rec == NULL) fail("short record");
    pos += length;
    const size_t at = 28 + ((size_t)rec[22] << 8 | rec[23]);
    const uint8 *p = rec + at;
    const int apid = (p[0] & 7) << 8 | p[1];
    const int flags = p[2] >> 6;
    const size_t size = ((size_t)p[4] << 8 | p[5]) - 4;
    const uint32 seconds = (uint32)p[6] << 24 | (uint32)p[7] << 16 | (uint32)p[8] << 8 | p[9];
    const int subseconds = p[10];
    const uint8 *data = p + 11;

    struct Product *pr = NULL;
    for (size_t i = 0; i < NPRODUCTS; ++i) {
      if (products[i].apid == apid && products[i].inst == inst) pr = &products[i];
    }
    if (pr == NULL || mode == READ) continue;
    if (mode == BARE && out_fd == -1) {
      out_fd = open(work, O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out_fd < 0) fail("cannot create the output");
    }
    if (mode != BARE && file == -1) {
      file = Hopen(work, DFACC_CREATE, 0);
      if (file == -1 || Vstart(file) != 0) fail("cannot create the EDR");
      sd = SDstart(work, DFACC_RDWR);
      if (mode == BATCH || mode == MODULES) SDsetfillmode(sd, SD_NOFILL);
      an = ANstart(file);
    }
    const uint8 *record = data;
    size_t count = size / pr->size;
    if (pr->parts > 1) {
      if (pr->data == NULL && (pr->data = malloc(32768)) == NULL) fail("out of memory");
      if (flags == 1) {
        pr->have = 0;
        pr->seconds = seconds;
        pr->subseconds = subseconds;
      } else if (seconds != pr->seconds || subseconds != pr->subseconds) {
        continue;
      }
      if (pr->have < 32768) memcpy(pr->data + pr->have, data, KEEP(size, 32768 - pr->have));
      pr->have += size;
      if (flags != 2 || pr->have != pr->size) continue;
      record = pr->data;
      count = 1;
    }
    if (count == 0) continue;
    if (!pr->opened) {
      if ((pr->p = hlc_edr_find_product(pr->module)) == NULL) fail("a product without a module");
      if (mode == DIRECT || mode == BATCH) {
        direct_create(&pr->direct, pr->p, pr->size, file, sd, an);
        if (mode == BATCH) batch_start(&pr->batch, &pr->direct, pr->size);
      } else if (mode == BARE) {
        /* nothing to create */
      } else if (pr->p->init_wr(file, sd, an, "tlm_edr_data") == -1) {
        fail("cannot create a table");
      }
      pr->opened = 1;
    }
    for (size_t i = 0; i < count; ++i) {
      const uint8 *one = record + i * pr->size;
      if (mode == DIRECT) {
        direct_write(&pr->direct, one);
      } else if (mode == BATCH) {
        batch_write(&pr->batch, &pr->direct, one);
      } else if (mode == BARE) {
        bare_write(one, layout_bytes(pr->p));
      } else if (put(pr->p, one, pr->size) == -1) {
        fail("write failed");
      }
    }
  }
  close(fd);
  if (mode == READ) return 0;
  if (mode == BARE) {
    if (out_fd == -1) fail("no record of the instrument");
    if (write(out_fd, out_buffer, out_len) != (ssize_t)out_len || close(out_fd) != 0) fail("write");
    if (rename(work, argv[6]) != 0) fail("rename failed");
    return 0;
  }
  if (file == -1) fail("no record of the instrument");
  for (size_t i = 0; i < NPRODUCTS; ++i) {
    if (!products[i].opened) continue;
    if (mode == DIRECT || mode == BATCH) {
      if (mode == BATCH) batch_flush(&products[i].batch, &products[i].direct);
      direct_close(&products[i].direct);
    } else {
      if (products[i].p->flush_wr() == -1) fail("write failed");
      products[i].p->close_wr();
    }
  }
  if (ANend(an) == -1 || SDend(sd) == -1 || Vend(file) == -1 || Hclose(file) == -1) {
    fail("shutdown failed");
  }
  if (rename(work, argv[6]) != 0) fail("rename failed");
  return 0;
}
