/*
   HLC EDR Structure definitions -- MEC/WIND Housekeeping Data 
   
   Revision history:
   
   EDR team, 2026-11-30
      - extra_data (uint32) appended at the very end of the record: the
        MEC/WIND packet definition gained a 32-bit word at its end for
        extra MEC/WIND data and room for expansion. The earlier fields
        keep their offsets; the record is now 144 bytes long.
      - Bit breakdown of extra_data added (MSB order).
   
   EDR team, 2026-11-16
      - COUNT_PEAK changed from uint32 to float32 to match the packet
        definition, which carries the uncompressed count of the peak as
        a float.
   
   EDR team, 2026-11-02
      - sclk_subseconds widened from uint8 to uint16 so that the full
        resolution of the SCLK fraction (1/65536th of a second) is kept;
        its description updated.
      - Bit breakdowns (MSB order) added to WIND_MEC_FLAGS and
        WIND_REGIME_FLAGS.
      - COUNT_PEAK changed from uint16 to uint32.
   
   EDR team, 2026-10-12
      - Layout changed to follow the better-defined MEC/WIND housekeeping
        packet structure: the fields are now in the order of the packet.
   
   EDR team, 2026-09-22
      - Comments reformatted; the shared constants header hlc_edr_const.h
        is now included.
   
   EDR team, 2026-09-01
      - First version.
   
*/

#include "hdfi.h"
#include "hlc_edr_const.h"

/*
   MEC/WIND Housekeeping data structure -- APID # 24

      sclk_seconds      -- spacecraft time at the start of the data cycle,
                           SCLK seconds

      sclk_subseconds   -- spacecraft time at the start of the data cycle,
                           fractions (1/65536th) of SCLK second

      WIND_MEC_FLAGS    -- MEC/WIND status word (MSB order):
                              bit 10 = DATA_OK
                              bit 9  = gim_ok
                              bit 8  = gem_ok
                              bit 7  = mec_ok
                              bit 6  = gim_dt_ok
                              bit 5  = peak_find_ok
                              bit 4  = alpha_avail
                              bit 3  = bde_avail
                              bit 2  = bde_detected
                              bit 1  = gem_dt_ok
                              bit 0  = POLAR_EARTH

      gim_peak_azim     -- index of the GIM azimuth angle of the peak, (0-39d)

      gim_peak_CEM      -- index of the GIM CEM of the peak, (0-7d)

      bde_disqual_cnt   -- number of azimuthal double peaks that were
                           disqualified because their direction is aligned
                           with the Earth

      bde_azim_cnt      -- number of azimuthal double peaks found and not
                           disqualified

      bde_polar_cnt     -- number of times clear valleys were found in the
                           polar BDE check (CEM 0 and 6 peaks)

      regime            -- final result of the regime code: the state that
                           the array is commanded to: E, H or L

      WIND_REGIME_FLAGS -- MEC/WIND regime status word (MSB order):
                              bit 9 = proton_hist_despike
                              bit 8 = alpha_hist_despike
                              bit 7 = conc_to_standby
                              bit 6 = gim_search_req
                              bit 5 = max_gap_exceeded
                              bit 4 = min_count_missed
                              bit 3 = bulk_selected
                              bit 2 = shock_detected
                              bit 1 = alpha weight
                              bit 0 = BDE weight

      gim_deadtime      -- GIM dead time, the configured parameter

      gim_bg_level      -- GIM background level from the on-board
                           calculation, counts

      gem_deadtime      -- GEM dead time, the configured parameter

      gem_bg_level      -- GEM background level from the on-board
                           calculation, counts

      proton_density_curr
                        -- current proton density, #/cm^3

      proton_speed_curr -- current proton speed, cm/s

      proton_temp_curr  -- current proton temperature, K

      proton_temp_exp_ratio_curr
                        -- current proton temperature expansion ratio,
                           unitless

      alpha_ratio_curr  -- current alpha ratio, unitless

      proton_density_av -- proton density averaged over the history,
                           #/cm^3

      proton_speed_av   -- proton speed averaged over the history, cm/s

      proton_temp_av    -- proton temperature averaged over the history, K

      proton_temp_exp_ratio_av
                        -- proton temperature expansion ratio averaged
                           over the history, unitless

      alpha_ratio_av    -- alpha ratio averaged over the history, unitless

      BDE_av            -- BDE average over the history, (0.0 - 1.0)

      TO_CME            -- regime algorithm parameter, (0.0 - 1.0)

      V1_ave            -- speed averaged over the first half of the
                           history, cm/s

      V2_ave            -- speed averaged over the second half of the
                           history, cm/s

      N1_ave            -- proton density averaged over the first half of
                           the history, #/cm^3

      N2_ave            -- proton density averaged over the second half of
                           the history, #/cm^3

      T1_ave            -- temperature averaged over the first half of the
                           history, K

      T2_ave            -- temperature averaged over the second half of the
                           history, K

      TIME_OF_SHOCK     -- time of the shock, from the regime algorithm,
                           SCLK seconds

      TIME_OF_CME       -- time of the CME, from the regime algorithm,
                           SCLK seconds

      F1D_PROT_PEAK     -- value of the 1-D ion distribution (F1D) at the
                           proton peak

      F1D_MIN           -- value of the 1-D ion distribution (F1D) at the
                           minimum between the proton and alpha peaks

      F1D_HE_PEAK       -- value of the 1-D ion distribution (F1D) at the
                           alpha peak

      PROT_PEAK_LEVEL   -- energy step where the proton peak was found,
                           (0-39d)

      PROT_ALPHA_MIN_LEVEL
                        -- energy step where the minimum was found,
                           (0-39d)

      ALPHA_PEAK_LEVEL  -- energy step where the alpha peak was found,
                           (0-39d)

      HIST_ENTRIES      -- number of valid entries in the history

      HIST_MAX_GAP      -- longest contiguous gap of the history

      COUNT_PEAK        -- uncompressed count of the peak

      extra_data        -- extra MEC/WIND data and room for expansion
                           (MSB order):
                              bit 31    = aband_data_cycle_bool
                              bit 29-30 = aband_data_cycle_spin(*)
                              bit 0-28  = spare
                              (*) contents meaningful only when
                              aband_data_cycle_bool is TRUE
*/

struct MEC_Housekeeping {

   uint32   sclk_seconds;
   uint16   sclk_subseconds;
   uint16   WIND_MEC_FLAGS;
   uint8    gim_peak_azim;
   uint8    gim_peak_CEM;
   uint8    bde_disqual_cnt;
   uint8    bde_azim_cnt;
   uint8    bde_polar_cnt;
   uint8    regime;
   uint16   WIND_REGIME_FLAGS;
   float32  gim_deadtime;
   float32  gim_bg_level;
   float32  gem_deadtime;
   float32  gem_bg_level;
   float32  proton_density_curr;
   float32  proton_speed_curr;
   float32  proton_temp_curr;
   float32  proton_temp_exp_ratio_curr;
   float32  alpha_ratio_curr;
   float32  proton_density_av;
   float32  proton_speed_av;
   float32  proton_temp_av;
   float32  proton_temp_exp_ratio_av;
   float32  alpha_ratio_av;
   float32  BDE_av;
   float32  TO_CME;
   float32  V1_ave;
   float32  V2_ave;
   float32  N1_ave;
   float32  N2_ave;
   float32  T1_ave;
   float32  T2_ave;
   uint32   TIME_OF_SHOCK;
   uint32   TIME_OF_CME;
   float32  F1D_PROT_PEAK;
   float32  F1D_MIN;
   float32  F1D_HE_PEAK;
   uint16   PROT_PEAK_LEVEL;
   uint16   PROT_ALPHA_MIN_LEVEL;
   uint16   ALPHA_PEAK_LEVEL;
   uint16   HIST_ENTRIES;
   float32  HIST_MAX_GAP;
   float32  COUNT_PEAK;
   uint32   extra_data;
                                       };

