/*
   Concentrator housekeeping record module (con_hk): record structure and
   operations. The record structure and its field comments are in con_hk.h.
*/

#ifndef HLC_EDR_CON_HK_API_H
#define HLC_EDR_CON_HK_API_H

#include "con_hk.h"
#include "hlc_edr_module.h"

#define CON_HK_DESC_SIZE 4889

HLC_EDR_MODULE_API(con_hk, Concentrator_Housekeeping)

HLC_EDR_EXTERN_C_BEGIN
extern char Vgrp_descrp_Concentrator_Housekeeping[CON_HK_DESC_SIZE];
HLC_EDR_EXTERN_C_END

#endif /* HLC_EDR_CON_HK_API_H */
