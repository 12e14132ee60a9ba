/* A C program that reads Concentrator housekeeping records from an EDR
   through the con_hk module's own operations. It is linked by the C linker
   with the module's object alone, so it also shows that a module needs no
   C++ runtime. Prints the record count, then one line of 25 values per
   record. */
#include <stdio.h>

#include "con_hk_api.h"
#include "mfhdf.h"

int main(int argc, char **argv) {
  int32 file_id, sd_id, n, i;
  struct Concentrator_Housekeeping r;
  if (argc != 2) {
    fprintf(stderr, "usage: c_con_hk_reader EDR\n");
    return 2;
  }
  file_id = Hopen(argv[1], DFACC_READ, 0);
  if (file_id == -1 || Vstart(file_id) != 0) return 1;
  sd_id = SDstart(argv[1], DFACC_READ);
  n = init_rd_con_hk(file_id, sd_id, "r");
  printf("records %d\n", (int)n);
  for (i = 0; i < n; i++) {
    if (read_con_hk(&r, -1) != 0) return 1;
    printf("%u %u %u %u %u %u %u %u %u %u %u %u %u %u %u %u %u %u %u %u %u %u %u %u %u\n",
           (unsigned)r.sclk_seconds, r.sclk_subseconds, r.APID_status, r.elec_req, r.accel_req,
           r.rej_req, r.elec_level, r.accel_level, r.rej_level, r.elec_set, r.accel_set, r.rej_set,
           r.MON_5V, r.MON_12V, r.elec_fault_count, r.accel_fault_count, r.rej_fault_count,
           r.elec_maximum, r.elec_minimum, r.accel_maximum, r.accel_minimum, r.rej_maximum,
           r.rej_minimum, r.SW_status, r.CMD_status);
  }
  printf("past the end %d\n", (int)read_con_hk(&r, -1));
  close_rd_con_hk();
  SDend(sd_id);
  Vend(file_id);
  Hclose(file_id);
  return 0;
}
