/* A C program built with the C compiler and linked with the delivered
   mec_f1d.o and HDF4 alone. It writes MEC F1D records, float NaN, infinity,
   negative zero and denormal patterns among them, into a new EDR file
   through the module's operations, opens the file again and reads them
   back, comparing every value bit for bit. Prints "ok" and exits with 0
   when everything matches. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "mec_f1d_api.h"
#include "mfhdf.h"

#define NRECS 4

static int failures = 0;

static void check(int ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "c_mec_f1d_object: %s\n", what);
    print_mec_f1d_error(what);
    failures++;
  }
}

/* Sets a float32 from its bit pattern without ever loading it as a value. */
static void set_bits(float32 *f, uint32 bits) {
  memcpy(f, &bits, sizeof *f);
}

static int same_record(const struct MEC_f1d *a, const struct MEC_f1d *b) {
  return a->sclk_seconds == b->sclk_seconds && a->sclk_subseconds == b->sclk_subseconds &&
         memcmp(a->f1d_ion_distr, b->f1d_ion_distr, sizeof a->f1d_ion_distr) == 0;
}

int main(int argc, char **argv) {
  static const uint32 patterns[] = {
      0x7FC00000u, /* quiet NaN */
      0x7FA00001u, /* signalling NaN */
      0xFFFFFFFFu, /* NaN, every bit set */
      0x7F800000u, /* +infinity */
      0xFF800000u, /* -infinity */
      0x80000000u, /* -0.0 */
      0x00000001u, /* smallest denormal */
      0x807FFFFFu, /* largest negative denormal */
      0x3F800000u, /* 1.0 */
  };
  struct MEC_f1d recs[NRECS], back;
  unsigned char packed[166];
  char text[MEC_F1D_DESC_SIZE];
  int32 file_id, sd_id, an_id;
  int r, i;

  if (argc != 2) {
    fprintf(stderr, "usage: c_mec_f1d_object EDR\n");
    return 2;
  }
  memset(recs, 0, sizeof recs);
  for (r = 0; r < NRECS; r++) {
    recs[r].sclk_seconds = 4000000000u + (uint32)r;
    recs[r].sclk_subseconds = (uint16)(65535 - r);
    for (i = 0; i < MEC_F1D_ELEMENTS; i++) {
      const size_t k = (size_t)(r * MEC_F1D_ELEMENTS + i);
      set_bits(&recs[r].f1d_ion_distr[i],
               k % 2 == 0 ? patterns[(k / 2) % (sizeof patterns / sizeof patterns[0])]
                          : 0x40490FDBu + (uint32)k);
    }
  }

  /* The packed record: 166 bytes, the array right after sclk_subseconds. */
  check(offsetof(struct MEC_f1d, f1d_ion_distr) == 8, "record structure layout");
  memset(packed, 0xA5, sizeof packed);
  pack_mec_f1d(packed, &recs[1]);
  check(memcmp(packed, &recs[1].sclk_seconds, 4) == 0, "packed sclk_seconds at 0");
  check(memcmp(packed + 4, &recs[1].sclk_subseconds, 2) == 0, "packed sclk_subseconds at 4");
  check(memcmp(packed + 6, recs[1].f1d_ion_distr, 160) == 0, "packed array at 6");
  memset(&back, 0, sizeof back);
  unpack_mec_f1d(packed, &back);
  check(same_record(&back, &recs[1]), "unpack gives the packed record back");

  /* Writing. */
  file_id = Hopen(argv[1], DFACC_CREATE, 0);
  if (file_id == -1 || Vstart(file_id) != 0) return 1;
  sd_id = SDstart(argv[1], DFACC_RDWR);
  an_id = ANstart(file_id);
  check(init_wr_mec_f1d(file_id, sd_id, an_id, "tlm_edr_data") == 0, "init_wr_mec_f1d");
  check(vgrp_id_mec_f1d != -1 && get_vgrp_id_mec_f1d() == vgrp_id_mec_f1d, "Vgroup identifier");
  check(strlen(Vgrp_descrp_MEC_f1d) == 756, "description of 756 characters");
  memset(text, 0, sizeof text);
  check(wr_Vgrp_desc_mec_f1d(text) == 0 && strcmp(text, Vgrp_descrp_MEC_f1d) == 0,
        "wr_Vgrp_desc_mec_f1d builds the same text");
  for (r = 0; r < NRECS; r++) check(write_mec_f1d(recs[r], -1) == 0, "write_mec_f1d");
  close_wr_mec_f1d();
  ANend(an_id);
  SDend(sd_id);
  Vend(file_id);
  Hclose(file_id);

  /* Reading back, sequentially and by position. */
  file_id = Hopen(argv[1], DFACC_READ, 0);
  if (file_id == -1 || Vstart(file_id) != 0) return 1;
  sd_id = SDstart(argv[1], DFACC_READ);
  check(init_rd_mec_f1d(file_id, sd_id, "r") == NRECS, "init_rd_mec_f1d count");
  for (r = 0; r < NRECS; r++) {
    memset(&back, 0x5A, sizeof back);
    check(read_mec_f1d(&back, -1) == 0 && same_record(&back, &recs[r]), "record read back");
  }
  check(read_mec_f1d(&back, NRECS) == -1, "read past the end");
  close_rd_mec_f1d();
  check(init_acc_mec_f1d(file_id, sd_id, "r") == NRECS, "init_acc_mec_f1d count");
  check(read_mec_f1d(&back, 2) == 0 && same_record(&back, &recs[2]), "record 2 by position");
  close_rd_mec_f1d();
  memset(Vgrp_descrp_MEC_f1d, 0, sizeof Vgrp_descrp_MEC_f1d);
  rd_Vgrp_desc_mec_f1d(file_id, ANstart(file_id)); /* ends the AN interface */
  check(strcmp(Vgrp_descrp_MEC_f1d, text) == 0, "description read back");
  SDend(sd_id);
  Vend(file_id);
  Hclose(file_id);

  if (failures != 0) return 1;
  printf("ok\n");
  return 0;
}
