/*
   HLC EDR Structure definitions -- GIM Raw Count Data 
   
   Revision history:
   
   EDR team, 2026-09-01
   
*/

#include "hdfi.h"
#include "hlc_edr_const.h"

/*
   GIM raw count structure -- APID # 42

      sclk_seconds         -- SCLK seconds of spin start

      sclk_subseconds      -- fractions (1/65536th) of SCLK second of
                              spin start

      start_req[40]        -- for each sector, requested start level of
                              voltage specified in acquire or manual
                              command, DAC units (0-4095d)

      step_size[40]        -- for each sector, voltage level step size
                              specified in command, units of 00.001
                              percent (0 for manual acquisition)

      step_time[40]        -- for each sector, step time specified in
                              command, units of 0.1 microsecond

      angle[40]            -- for each sector, sequence number implying
                              angular position of data set

      ESA_set[40][10]      -- ADC value of ESA voltage DAC readback for
                              each sector and voltage level, (0-4095d)

      ESA_level[40][10]    -- ADC value of ESA voltage readback for each
                              sector and voltage level, (0-4095d)

      counts[40][10][8]    -- CEM counts for each sector, voltage level
                              and CEM, (0-65535d), stored as received
                              (no expansion or scaling)
*/

struct GIM_Raw {

   uint32   sclk_seconds;
   uint16   sclk_subseconds;
   uint16   start_req[GIM_AZIMUTH_SECTORS];
   uint16   step_size[GIM_AZIMUTH_SECTORS];
   uint16   step_time[GIM_AZIMUTH_SECTORS];
   uint16   angle[GIM_AZIMUTH_SECTORS];
   uint16   ESA_set[GIM_AZIMUTH_SECTORS][GIM_SPIN_LEVELS];
   uint16   ESA_level[GIM_AZIMUTH_SECTORS][GIM_SPIN_LEVELS];
   uint16   counts[GIM_AZIMUTH_SECTORS][GIM_SPIN_LEVELS][GIM_CEMS];
                                       };
