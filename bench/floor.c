/* The floor of hlc_edr's speed: a program that makes the same HDF4 calls in
   the same order as hlc_edr for the same TLM file (the output file and its
   interfaces, each product's tables at its first record, one Vdata record
   and the SDS slabs per record through the same record modules, the same
   shutdown), from a file read in 64 KiB pieces, with no decoding (a record's
   packet bytes are copied into the record as they are), no checks beyond
   what finds the records, and no log.

     floor -inst gem|gim|con|mec -tlm TLM -edr EDR

   Exit status 0 after the final rename, 1 on any failure. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "con_hk_api.h"
#include "gem_hk_api.h"
#include "gem_mancal_api.h"
#include "gem_normal_api.h"
#include "gem_raw_api.h"
#include "gim_diag_api.h"
#include "gim_hk_api.h"
#include "gim_mancal_api.h"
#include "gim_normal_api.h"
#include "gim_raw_api.h"
#include "mec_f1d_api.h"
#include "mec_hk_api.h"
#include "mfhdf.h"

#define KEEP(a, b) ((a) < (b) ? (a) : (b))

/* A record's bytes, copied unconverted into its structure and appended. */
#define WRITER(m, R)                                     \
  static int32 put_##m(const uint8 *data, size_t size) { \
    struct R r;                                          \
    memset(&r, 0, sizeof r);                             \
    memcpy(&r, data, KEEP(sizeof r, size));              \
    return write_##m(r, -1);                             \
  }
WRITER(gem_hk, GEM_Housekeeping)
WRITER(gem_mancal, GEM_ManCal)
WRITER(gem_normal, GEM_Normal)
WRITER(gem_raw, GEM_Raw)
WRITER(gim_hk, GIM_Housekeeping)
WRITER(gim_mancal, GIM_ManCal)
WRITER(gim_normal, GIM_Normal)
WRITER(gim_diag, GIM_Diagnostic)
WRITER(gim_raw, GIM_Raw)
WRITER(con_hk, Concentrator_Housekeeping)
WRITER(mec_hk, MEC_Housekeeping)
WRITER(mec_f1d, MEC_f1d)

struct Product {
  int apid, inst, parts;
  size_t size;
  int32 (*init_wr)(int32, int32, int32, const char *);
  int32 (*put)(const uint8 *, size_t);
  void (*close_wr)(void);
  int opened;
  uint8 *data; /* reassembly buffer of segmented products */
  size_t have;
  uint32 seconds;
  int subseconds;
};

#define PRODUCT(apid, inst, parts, size, m) \
  { apid, inst, parts, size, init_wr_##m, put_##m, close_wr_##m, 0, NULL, 0, 0, 0 }
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

static int fd = -1;
static uint8 block[65536];
static size_t pos, len;

/* Reads exactly n bytes (or fewer at the end of the file). */
static size_t take(uint8 *out, size_t n) {
  size_t got = 0;
  while (got < n) {
    if (pos == len) {
      ssize_t r = read(fd, block, sizeof block);
      if (r <= 0) break;
      pos = 0;
      len = (size_t)r;
    }
    size_t k = KEEP(len - pos, n - got);
    memcpy(out + got, block + pos, k);
    pos += k;
    got += k;
  }
  return got;
}

static void fail(const char *what) {
  fprintf(stderr, "floor: %s\n", what);
  exit(1);
}

int main(int argc, char **argv) {
  static const char *const words[] = {"gem", "gim", "con", "mec"};
  if (argc != 7) fail("usage: floor -inst gem|gim|con|mec -tlm TLM -edr EDR");
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
  static uint8 rec[32768];
  for (;;) {
    if (take(rec, 20) < 20) break;
    const size_t body = (size_t)rec[18] << 8 | rec[19];
    if (take(rec + 20, body) < body) fail("short record");
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
    if (pr == NULL) continue;
    if (file == -1) {
      file = Hopen(work, DFACC_CREATE, 0);
      if (file == -1 || Vstart(file) != 0) fail("cannot create the EDR");
      sd = SDstart(work, DFACC_RDWR);
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
      memcpy(pr->data + pr->have, data, KEEP(size, 32768 - pr->have));
      pr->have += size;
      if (flags != 2 || pr->have != pr->size) continue;
      record = pr->data;
      count = 1;
    }
    if (count == 0) continue;
    if (!pr->opened) {
      if (pr->init_wr(file, sd, an, "tlm_edr_data") == -1) fail("cannot create a table");
      pr->opened = 1;
    }
    for (size_t i = 0; i < count; ++i) {
      if (pr->put(record + i * pr->size, pr->size) == -1) fail("write failed");
    }
  }
  close(fd);
  if (file == -1) fail("no record of the instrument");
  for (size_t i = 0; i < NPRODUCTS; ++i) {
    if (products[i].opened) products[i].close_wr();
  }
  if (ANend(an) == -1 || SDend(sd) == -1 || Vend(file) == -1 || Hclose(file) == -1) {
    fail("shutdown failed");
  }
  if (rename(work, argv[6]) != 0) fail("rename failed");
  return 0;
}
