/*
   HLC EDR Structure definitions -- GIM Diagnostic Mode Data 
   
   Revision history:
   
   EDR team, 2026-11-30
      - sclk_subseconds widened from uint8 to uint16 so that the full
        resolution of the SCLK fraction is kept.
      - Bit breakdown added to APID_status.
   
   EDR team, 2026-10-12
      - Comments reformatted; the dimension constants moved into the
        shared constants header hlc_edr_const.h.
   
   EDR team, 2026-09-01
      - First version.
   
*/

#include "hdfi.h"
#include "hlc_edr_const.h"

/*
   GIM Diagnostic data structure -- APID # 34

      APID_status          -- APID status word (? bit order):
                                 Bits 5-10 = Status_Checksum_Error
                                 Bit 0 = Status_Early_Sync
                                 Bit 1 = Status_Synthetic_Sync
                                 Bit 2 = Status_Test_Data
                                 Bit 3 = Status_Use_Data
                                 bit 4 = Status_Sub_Mode

      sclk_seconds[4]      -- SCLK seconds of start of spins 1 to 4

      sclk_subseconds[4]   -- fractions (1/65536th) of SCLK second of
                              start of spins 1 to 4

      step_time[4]         -- for each spin, step time specified in
                              command, units of 0.1 microsecond

      level[4]             -- for each spin, ESA voltage readback ADC value
                              for voltage level, DAC units (0-4095d)

      step_size[4]         -- for each spin, voltage level step size
                              specified in command, units of 0.01 percent

      integ_time           -- detector integration time, units of
                              10 microseconds

      settle_time          -- power supply settling time, units of
                              10 microseconds

      ESA_level[40]        -- ESA levels of the cycle, DAC units
                              (0-4095d) ?

      counts[40][8][40]    -- CEM counts for each sector, CEM and level,
                              stored as received (no expansion or
                              scaling)
*/

struct GIM_Diagnostic {

   uint16   APID_status;
   uint32   sclk_seconds[GIM_SPINS];
   uint16   sclk_subseconds[GIM_SPINS];
   uint16   step_time[GIM_SPINS];
   uint16   level[GIM_SPINS];
   uint16   step_size[GIM_SPINS];
   uint16   integ_time;
   uint16   settle_time;
   uint16   ESA_level[GIM_CYCLE_LEVELS];
   uint8    counts[GIM_AZIMUTH_SECTORS][GIM_CEMS][GIM_CYCLE_LEVELS];
                                       };


