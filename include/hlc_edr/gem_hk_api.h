/*
   GEM housekeeping record module (gem_hk): record structure and
   operations. The record structure and its field comments are in gem_hk.h.
*/

#ifndef HLC_EDR_GEM_HK_API_H
#define HLC_EDR_GEM_HK_API_H

#include "gem_hk.h"
#include "hlc_edr_module.h"

#define GEM_HK_DESC_SIZE 4260

HLC_EDR_MODULE_API(gem_hk, GEM_Housekeeping)

HLC_EDR_EXTERN_C_BEGIN
extern char Vgrp_descrp_GEM_Housekeeping[GEM_HK_DESC_SIZE];
HLC_EDR_EXTERN_C_END

#endif /* HLC_EDR_GEM_HK_API_H */
