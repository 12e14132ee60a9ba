/*
   HLC EDR Structure definitions -- GIM Normal Mode Data 
   
   Revision history:
   
   EDR team, 2026-11-30
      - sclk_subseconds widened from uint8 to uint16 so that the full
        resolution of the SCLK fraction is kept.
      - Breakdown of the APID_status bits added.
   
   EDR team, 2026-10-12
      - Comments reformatted; the dimension constants moved into the
        shared constants header hlc_edr_const.h.
   
   EDR team, 2026-09-01
      - First version.
   
*/

#include "hdfi.h"
#include "hlc_edr_const.h"

/*
   GIM Normal data structure -- APID # 28

      APID_status          -- APID status word (? bit order):
                                 bit 5-10 = Status_Checksum_Error
                                 bit 0 = Status_Early_Sync
                                 bit 1 = Status_Synthetic_Sync
                                 bit 2 = Status_Test_Data
                                 bit 3 = Status_Use_Data
                                 bit 4 = Status_Sub_Mode

      sclk_seconds[4]      -- SCLK seconds of start of spins 1-4 

      sclk_subseconds[4]   -- fractions (1/65536th) of SCLK second of
                              start of spins 1-4 

      step_time[4]         -- step time specified in the command, per
                              spin, units of 0.1 microsecond

      level[4]             -- ADC value of ESA voltage readback for the
                              voltage level, per spin, DAC units (0-4095d)

      step_size[4]         -- voltage level step size specified in the
                              command, per spin, units of 0.01 percent

      integ_time           -- detector integration time, units of 10
                              microseconds

      settle_time          -- power supply settling time, units of 10
                              microseconds

      ESA_level[40]        -- ESA levels of the cycle, DAC units (0-4095d) ?

      mask_table           -- which of the 5 mask tables was used ?

      peak_sector          -- azimuth sector in which the peak counts were
                              found ?

      counts[80][40]       -- CEM counts for each CEM-azimuth mask element
                              and level (not expanded, not scaled)
*/

struct GIM_Normal {

   uint16   APID_status;
   uint32   sclk_seconds[GIM_SPINS];
   uint16   sclk_subseconds[GIM_SPINS];
   uint16   step_time[GIM_SPINS];
   uint16   level[GIM_SPINS];
   uint16   step_size[GIM_SPINS];
   uint16   integ_time;
   uint16   settle_time;
   uint16   ESA_level[GIM_CYCLE_LEVELS];
   uint8    mask_table;
   uint8    peak_sector;
   uint8    counts[GIM_MASK_ELEMENTS][GIM_CYCLE_LEVELS];
                                       };


