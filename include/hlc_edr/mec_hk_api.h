/*
   MEC/WIND housekeeping record module (mec_hk): record structure and
   operations. The record structure and its field comments are in mec_hk.h.
*/

#ifndef HLC_EDR_MEC_HK_API_H
#define HLC_EDR_MEC_HK_API_H

#include "mec_hk.h"
#include "hlc_edr_module.h"

#define MEC_HK_DESC_SIZE 8714

HLC_EDR_MODULE_API(mec_hk, MEC_Housekeeping)

HLC_EDR_EXTERN_C_BEGIN
extern char Vgrp_descrp_MEC_Housekeeping[MEC_HK_DESC_SIZE];
HLC_EDR_EXTERN_C_END

#endif /* HLC_EDR_MEC_HK_API_H */
