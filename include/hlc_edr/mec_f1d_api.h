/*
   MEC/WIND F1D ion distribution record module (mec_f1d): record structure
   and operations. The record structure and its field comments are in
   mec_f1d.h.

   The module is also delivered as an object of its own, mec_f1d.o, for
   programs in C or C++ that link it with HDF4 (libmfhdf and libdf).
*/

#ifndef HLC_EDR_MEC_F1D_API_H
#define HLC_EDR_MEC_F1D_API_H

#include "mec_f1d.h"
#include "hlc_edr_module.h"

#define MEC_F1D_DESC_SIZE 853

HLC_EDR_MODULE_API(mec_f1d, MEC_f1d)

HLC_EDR_EXTERN_C_BEGIN
extern char Vgrp_descrp_MEC_f1d[MEC_F1D_DESC_SIZE];
HLC_EDR_EXTERN_C_END

#endif /* HLC_EDR_MEC_F1D_API_H */
