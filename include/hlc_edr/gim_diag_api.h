/*
   GIM diagnostic record module (gim_diag): record structure and operations.
   The record structure and its field comments are in gim_diag.h.
*/

#ifndef HLC_EDR_GIM_DIAG_API_H
#define HLC_EDR_GIM_DIAG_API_H

#include "gim_diag.h"
#include "hlc_edr_module.h"

#define GIM_DIAG_DESC_SIZE 2701

HLC_EDR_MODULE_API(gim_diag, GIM_Diagnostic)

HLC_EDR_EXTERN_C_BEGIN
extern char Vgrp_descrp_GIM_Diagnostic[GIM_DIAG_DESC_SIZE];
HLC_EDR_EXTERN_C_END

#endif /* HLC_EDR_GIM_DIAG_API_H */
