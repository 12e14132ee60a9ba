/*
   GEM normal record module (gem_normal): record structure and
   operations. The record structure and its field comments are in gem_normal.h.
*/

#ifndef HLC_EDR_GEM_NORMAL_API_H
#define HLC_EDR_GEM_NORMAL_API_H

#include "gem_normal.h"
#include "hlc_edr_module.h"

#define GEM_NORMAL_DESC_SIZE 2861

HLC_EDR_MODULE_API(gem_normal, GEM_Normal)

HLC_EDR_EXTERN_C_BEGIN
extern char Vgrp_descrp_GEM_Normal[GEM_NORMAL_DESC_SIZE];
HLC_EDR_EXTERN_C_END

#endif /* HLC_EDR_GEM_NORMAL_API_H */
