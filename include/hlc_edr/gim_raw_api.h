/*
   GIM raw record module (gim_raw): record structure and operations. The
   record structure and its field comments are in gim_raw.h.
*/

#ifndef HLC_EDR_GIM_RAW_API_H
#define HLC_EDR_GIM_RAW_API_H

#include "gim_raw.h"
#include "hlc_edr_module.h"

#define GIM_RAW_DESC_SIZE 2333

HLC_EDR_MODULE_API(gim_raw, GIM_Raw)

HLC_EDR_EXTERN_C_BEGIN
extern char Vgrp_descrp_GIM_Raw[GIM_RAW_DESC_SIZE];
HLC_EDR_EXTERN_C_END

#endif /* HLC_EDR_GIM_RAW_API_H */
