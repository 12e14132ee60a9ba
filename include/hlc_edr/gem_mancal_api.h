/*
   GEM manual/calibration record module (gem_mancal): record structure and
   operations. The record structure and its field comments are in gem_mancal.h.
*/

#ifndef HLC_EDR_GEM_MANCAL_API_H
#define HLC_EDR_GEM_MANCAL_API_H

#include "gem_mancal.h"
#include "hlc_edr_module.h"

#define GEM_MANCAL_DESC_SIZE 2246

HLC_EDR_MODULE_API(gem_mancal, GEM_ManCal)

HLC_EDR_EXTERN_C_BEGIN
extern char Vgrp_descrp_GEM_ManCal[GEM_MANCAL_DESC_SIZE];
HLC_EDR_EXTERN_C_END

#endif /* HLC_EDR_GEM_MANCAL_API_H */
