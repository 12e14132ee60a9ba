/*
   HLC EDR shared constants: the array dimensions of the EDR records.
*/

#ifndef HLC_EDR_CONST_H
#define HLC_EDR_CONST_H

/* GEM */
#define GEM_SPINS           4
#define GEM_CYCLE_LEVELS    20
#define GEM_AZIMUTH_SECTORS 24
#define GEM_CEMS            7
#define GEM_SPIN_LEVELS     5

/* GIM */
#define GIM_SPINS           4
#define GIM_CYCLE_LEVELS    40
#define GIM_MASK_ELEMENTS   80
#define GIM_AZIMUTH_SECTORS 40
#define GIM_SPIN_LEVELS     10
#define GIM_CEMS            8

/* MEC */
#define MEC_F1D_ELEMENTS    40

#endif /* HLC_EDR_CONST_H */
