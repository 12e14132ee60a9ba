/* Writes an EDR whose products have their Vgroup, description, table and
   SDS but not a single record, as the record modules make them: hlc_edr
   never writes such a file (a product appears with its first record), but
   a reading program must still show such products for what they are.

     empty_products EDR MODULE...

   MODULE is one of con_hk, gem_normal, mec_f1d. Exit status 0 on success. */
#include <stdio.h>
#include <string.h>

#include "con_hk_api.h"
#include "gem_normal_api.h"
#include "mec_f1d_api.h"
#include "mfhdf.h"

struct Module {
  const char *name;
  int32 (*init_wr)(int32, int32, int32, const char *);
  void (*close_wr)(void);
};

static const struct Module kModules[] = {
    {"con_hk", init_wr_con_hk, close_wr_con_hk},
    {"gem_normal", init_wr_gem_normal, close_wr_gem_normal},
    {"mec_f1d", init_wr_mec_f1d, close_wr_mec_f1d},
};
#define NMODULES (sizeof kModules / sizeof kModules[0])

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: empty_products EDR MODULE...\n");
    return 2;
  }
  const struct Module *chosen[NMODULES];
  int n = 0;
  for (int i = 2; i < argc; ++i) {
    const struct Module *m = NULL;
    for (size_t k = 0; k < NMODULES; ++k) {
      if (strcmp(argv[i], kModules[k].name) == 0) m = &kModules[k];
    }
    if (m == NULL || n == (int)NMODULES) {
      fprintf(stderr, "empty_products: unknown or repeated module %s\n", argv[i]);
      return 2;
    }
    chosen[n++] = m;
  }
  const int32 file = Hopen(argv[1], DFACC_CREATE, 0);
  if (file == -1 || Vstart(file) != 0) return 1;
  const int32 sd = SDstart(argv[1], DFACC_RDWR);
  const int32 an = ANstart(file);
  if (sd == -1 || an == -1) return 1;
  int status = 0;
  for (int i = 0; i < n; ++i) {
    if (chosen[i]->init_wr(file, sd, an, "tlm_edr_data") != 0) status = 1;
  }
  for (int i = 0; i < n; ++i) chosen[i]->close_wr();
  if (ANend(an) == -1 || SDend(sd) == -1 || Vend(file) == -1 || Hclose(file) == -1) status = 1;
  return status;
}
