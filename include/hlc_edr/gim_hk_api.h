/*
   GIM housekeeping record module (gim_hk): record structure and operations.
   The record structure and its field comments are in gim_hk.h.
*/

#ifndef HLC_EDR_GIM_HK_API_H
#define HLC_EDR_GIM_HK_API_H

#include "gim_hk.h"
#include "hlc_edr_module.h"

#define GIM_HK_DESC_SIZE 4389

HLC_EDR_MODULE_API(gim_hk, GIM_Housekeeping)

HLC_EDR_EXTERN_C_BEGIN
extern char Vgrp_descrp_GIM_Housekeeping[GIM_HK_DESC_SIZE];
HLC_EDR_EXTERN_C_END

#endif /* HLC_EDR_GIM_HK_API_H */
