/*
   GIM normal record module (gim_normal): record structure and operations.
   The record structure and its field comments are in gim_normal.h.
*/

#ifndef HLC_EDR_GIM_NORMAL_API_H
#define HLC_EDR_GIM_NORMAL_API_H

#include "gim_normal.h"
#include "hlc_edr_module.h"

#define GIM_NORMAL_DESC_SIZE 2970

HLC_EDR_MODULE_API(gim_normal, GIM_Normal)

HLC_EDR_EXTERN_C_BEGIN
extern char Vgrp_descrp_GIM_Normal[GIM_NORMAL_DESC_SIZE];
HLC_EDR_EXTERN_C_END

#endif /* HLC_EDR_GIM_NORMAL_API_H */
