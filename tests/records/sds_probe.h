/* A test record module with three SDS, laid out like the raw-count products:
   scalar fields of every type (a float array among them) in the Vdata and
   three count arrays in SDS. */
#ifndef HLC_EDR_SDS_PROBE_H
#define HLC_EDR_SDS_PROBE_H

#include "hdfi.h"
#include "hlc_edr_module.h"

struct SDS_Probe {
  uint32 sclk_seconds;
  uint16 sclk_subseconds;
  uint8 mode;
  float32 level[3];
  uint16 ESA_set[24][5];
  uint16 ESA_level[24][5];
  uint16 counts[24][5][7];
};

#define SDS_PROBE_DESC_SIZE 600

HLC_EDR_MODULE_API(sds_probe, SDS_Probe)

HLC_EDR_EXTERN_C_BEGIN
extern char Vgrp_descrp_SDS_Probe[SDS_PROBE_DESC_SIZE];
HLC_EDR_EXTERN_C_END

#endif
