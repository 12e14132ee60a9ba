/*
   HLC EDR Structure definitions -- GEM Raw Count Data 
   
   Revision history:
   
   EDR team, 2026-09-01
   
*/

#include "hdfi.h"
#include "hlc_edr_const.h"

/*
   GEM raw count structure -- APID # 41

      sclk_seconds         -- SCLK seconds of spin start

      sclk_subseconds      -- fractions (1/65536th) of SCLK second of
                              spin start

      start_req[24]        -- per sector, requested start level of voltage
                              specified in the acquire or manual command,
                              DAC units (0-4095d)

      step_size[24]        -- per sector, voltage level step size specified
                              in the command, units of 00.001 percent
                              (0 for a manual acquisition)

      step_time[24]        -- per sector, step time specified in the
                              command, units of 0.1 microsecond

      angle[24]            -- per sector, sequence number that implies the
                              angular position of the data set, (0-23d)

      ESA_set[24][5]       -- ADC value of ESA voltage DAC readback for
                              each sector and voltage level, (0-4095d)

      ESA_level[24][5]     -- ADC value of ESA voltage readback for each
                              sector and voltage level, (0-4095d)

      counts[24][5][7]     -- CEM counts for each sector, voltage level
                              and CEM, (0-65535d)
*/

struct GEM_Raw {

   uint32   sclk_seconds;
   uint16   sclk_subseconds;
   uint16   start_req[GEM_AZIMUTH_SECTORS];
   uint16   step_size[GEM_AZIMUTH_SECTORS];
   uint16   step_time[GEM_AZIMUTH_SECTORS];
   uint16   angle[GEM_AZIMUTH_SECTORS];
   uint16   ESA_set[GEM_AZIMUTH_SECTORS][GEM_SPIN_LEVELS];
   uint16   ESA_level[GEM_AZIMUTH_SECTORS][GEM_SPIN_LEVELS];
   uint16   counts[GEM_AZIMUTH_SECTORS][GEM_SPIN_LEVELS][GEM_CEMS];
                                       };

