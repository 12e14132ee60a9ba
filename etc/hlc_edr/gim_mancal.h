/*
   HLC EDR Structure definitions -- GIM Manual/Calibration Mode Data 
   
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
   GIM Manual/Calibration data structure -- APID # 30

      sclk_seconds      -- SCLK seconds of start of measurement 

      sclk_subseconds   -- fractions (1/65536th) of SCLK second of start
                           of measurement 

      APID_status       -- APID status word (? bit order):
                              Bits 0-7 = Azimuth_Sampled_Indication
                              Bit 8 = St_man_cal_fl
                              Bit 9 = Checksum_Error_Occur_Indication
                              Bit 10 = Early_Sync
                              Bit 11 = Synthetic_Sync
                              Bit 12 = Test_Data
                              Bits 13-15 = St_cal_spin

      step_time         -- step time specified in the command, units of
                           0.1 microsecond

      integ_time        -- detector integration time, units of 10
                           microseconds

      settle_time       -- power supply settling time, units of 10
                           microseconds

      counts[8][10]     -- CEM counts for each CEM and level, 8 CEMs by
                           10 levels (not expanded, not scaled)
*/

struct GIM_ManCal {

   uint32   sclk_seconds;
   uint16   sclk_subseconds;
   uint16   APID_status;
   uint16   step_time;
   uint16   integ_time;
   uint16   settle_time;
   uint8    counts[GIM_CEMS][GIM_SPIN_LEVELS];
                                       };


