/*
   GIM manual/calibration record module (gim_mancal): record structure and
   operations. The record structure and its field comments are in
   gim_mancal.h.
*/

#ifndef HLC_EDR_GIM_MANCAL_API_H
#define HLC_EDR_GIM_MANCAL_API_H

#include "gim_mancal.h"
#include "hlc_edr_module.h"

#define GIM_MANCAL_DESC_SIZE 2122

HLC_EDR_MODULE_API(gim_mancal, GIM_ManCal)

HLC_EDR_EXTERN_C_BEGIN
extern char Vgrp_descrp_GIM_ManCal[GIM_MANCAL_DESC_SIZE];
HLC_EDR_EXTERN_C_END

#endif /* HLC_EDR_GIM_MANCAL_API_H */
