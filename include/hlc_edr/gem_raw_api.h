/*
   GEM raw record module (gem_raw): record structure and
   operations. The record structure and its field comments are in gem_raw.h.
*/

#ifndef HLC_EDR_GEM_RAW_API_H
#define HLC_EDR_GEM_RAW_API_H

#include "gem_raw.h"
#include "hlc_edr_module.h"

#define GEM_RAW_DESC_SIZE 2333

HLC_EDR_MODULE_API(gem_raw, GEM_Raw)

HLC_EDR_EXTERN_C_BEGIN
extern char Vgrp_descrp_GEM_Raw[GEM_RAW_DESC_SIZE];
HLC_EDR_EXTERN_C_END

#endif /* HLC_EDR_GEM_RAW_API_H */
