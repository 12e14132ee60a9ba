/*
   HLC EDR Structure definitions -- GIM Housekeeping Data 
   
   Revision history:
   
   EDR team, 2026-12-04
      - Description of bits 10-15 of CMD_status added, as supplied by the
        GIM instrument team on 2026-12-02.
   
   EDR team, 2026-11-30
      - sclk_subseconds widened from uint8 to uint16 so that the full
        resolution of the SCLK fraction is kept; its description updated.
      - Bit breakdowns added to APID_status, SW_status and CMD_status.
   
   EDR team, 2026-10-12
      - Comments reformatted; the dimension constants moved into the
        shared constants header hlc_edr_const.h.
   
   EDR team, 2026-09-01
      - First version.
   
*/

#include "hdfi.h"
#include "hlc_edr_const.h"

/*
   GIM Housekeeping data structure -- APID # 29

      sclk_seconds      -- SCLK seconds 

      sclk_subseconds   -- fractions (1/65536th) of SCLK second 

      APID_status       -- APID status word (? bit order):
                              bits 0-7 = Azimuth_Sampled_Indication
                              bits 8-9 = Sample_Mode
                              bit 10 = Checksum_Error_Occur_Indication

      start_level       -- requested start level of the voltage specified
                           in the acquire or manual command, DAC units
                           (0-4095d)

      step_size         -- voltage level step size specified in the
                           command, units of 0.01 percent (0 for a manual
                           acquisition)

      set[10]           -- ADC values of ESA voltage DAC readback for the
                           voltage levels 0-9, DAC units (0-4095d)

      level[10]         -- ADC values of ESA voltage readback for the
                           voltage levels 0-9, DAC units (0-4095d)

      CEM_set           -- ADC value of CEM voltage DAC readback, (0-4095d)

      CEM_level         -- ADC value of CEM voltage readback, (0-4095d)

      AMP_set           -- ADC value of AMP voltage DAC readback, (0-4095d)

      MON_5V            -- ADC value of 5 volt monitor, (0-4095d)

      MON_12V           -- ADC value of 12 volt monitor, (0-4095d)

      SW_status         -- GIM software status word (? bit order):
                              bit 0 = HV_ENABLE
                              bit 1 = HV_LIMIT
                              bit 2 = RAM_TEST
                              bit 3 = ROM_TEST
                              bit 4 = INTERUPT_TEST
                              bit 5 = TIMING_TEST
                              bit 6 = DAC1_TEST
                              bit 7 = DAC2_TEST
                              bit 8 = DAC3_TEST
                              bit 9 = PROCESSOR_RESET
                              bits 10-11 = TEST_PULSER
                              bit 14 = LAST_SYNC_EARLY_FLAG
                              bit 15 = SIMULATOR_DATA

      CMD_status        -- GIM command status word (? bit order):
                              bits 0-7 = Command_Status_Counter
                              bit 8 = CMD_Status_Bad_Command_Flag
                              bit 9 = CMD_Status_Bad_Parameter_Flag
                              bits 10-14 = reserved, 0
                              bit 15 = AMP level stepping: 1 when AMP
                                       stepping/SET, AMP_SET swapping
                                       is in effect
*/

struct GIM_Housekeeping {

   uint32   sclk_seconds;
   uint16   sclk_subseconds;
   uint16   APID_status;
   uint16   start_level;
   uint16   step_size;
   uint16   set[GIM_SPIN_LEVELS];
   uint16   level[GIM_SPIN_LEVELS];
   uint16   CEM_set;
   uint16   CEM_level;
   uint16   AMP_set;
   uint16   MON_5V;
   uint16   MON_12V;
   uint16   SW_status;
   uint16   CMD_status;
                                       };


