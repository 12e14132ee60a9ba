/*
   HLC EDR Structure definitions -- GEM Normal Mode Data 
   
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
   GEM Normal data structure -- APID # 31

      APID_status          -- APID status word (? bit order):
                                 bit 4-9 = Status_Checksum_Error
                                 bit 0 = Status_Early_Sync
                                 bit 1 = Status_Synthetic_Sync
                                 bit 2 = Status_Test_Data
                                 bit 3 = Status_Use_Data

      sclk_seconds[4]      -- SCLK seconds of start of spins 1-4

      sclk_subseconds[4]   -- fractions (1/65536th) of SCLK second of
                              start of spins 1-4

      step_time[4]         -- per spin, step time specified in the command,
                              units of 0.1 microsecond

      level[4]             -- per spin, ADC value of ESA voltage readback
                              for the voltage level, DAC units (0-4095d)

      step_size[4]         -- per spin, voltage level step size specified
                              in the command, units of 0.01 percent

      integ_time           -- detector integration time,
                              units of 10 microseconds

      settle_time          -- power supply settling time,
                              units of 10 microseconds

      ESA_level[20]        -- ESA levels of the cycle, DAC units (0-4095d)?

      counts[24][7][20]    -- CEM counts for each sector, CEM and level,
                              as received (no expansion or scaling)
*/

struct GEM_Normal {

   uint16   APID_status;
   uint32   sclk_seconds[GEM_SPINS];
   uint16   sclk_subseconds[GEM_SPINS];
   uint16   step_time[GEM_SPINS];
   uint16   level[GEM_SPINS];
   uint16   step_size[GEM_SPINS];
   uint16   integ_time;
   uint16   settle_time;
   uint16   ESA_level[GEM_CYCLE_LEVELS];
   uint8    counts[GEM_AZIMUTH_SECTORS][GEM_CEMS][GEM_CYCLE_LEVELS];
                                       };

