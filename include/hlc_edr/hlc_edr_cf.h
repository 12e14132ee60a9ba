/*
   HLC EDR products in netCDF and xarray: the one CF encoding (CF
   conventions 1.10, ACDD 1.3 for the product's identity and time coverage)
   of every product, for every program that writes or opens a product
   outside HDF4 (hlc_edr_dump's netCDF-4 export, the Python backend).

   hlc_edr_cf_describe() describes one product (its layout descriptor,
   hlc_edr_layout.h) as a netCDF group: its dimensions, its variables and
   their attributes, and the group's attributes, as plain C structures:
   names as NUL-terminated strings, netCDF number types by the values of
   netcdf.h's NC_ codes (HLC_EDR_NC_ below), attribute values as arrays.
   Like hlc_edr_layout.h, this header needs no HDF4 or netCDF header and
   compiles as C and C++.

   How each member is stored: no value that a record can hold reads as
   missing through readers that take a variable's netCDF default fill value
   for missing data when it has no _FillValue of its own (netCDF4-python,
   ncdump, xarray):
   - a member whose record header gives a range keeps its type, with
     valid_range and a _FillValue outside the range (the type's largest
     value, or 0 when the range ends at the largest);
   - any other uint16 or uint32 member is stored widened, as int32 or
     int64, with the attribute hdf4_type naming its own type;
   - a uint8 member keeps its type, without a fill value;
   - a float32 member keeps its type and every bit, with the _FillValue NaN.
   A status word's single bits are flags (flag_masks), its enumerations
   (a range of bits whose values mean states) pairs of flag_masks and
   flag_values, and flag_values is given whenever a word has an
   enumeration; its counters and spare bits are no flags, and its comment
   says what they hold.

   Variables, in this order: "sclk" (float64, the record time: SCLK seconds
   + subseconds / 65536, of the first spin for four-spin records),
   "spin_sclk" for four-spin products (the start of every spin), "time"
   when an epoch is given (CF time, seconds since the epoch), then one
   variable per member, in the record's order, over the dimensions
   ("record", then the member's array dimensions named after their
   constants).

   The group's attributes, in this order: title, product (the module),
   instrument, with a time coverage time_coverage_start and
   time_coverage_end ("SCLK 600000000.000000", ISO 8601 UTC to the
   microsecond with an epoch) and sclk_coverage_start and sclk_coverage_end
   (always the SCLK form), then date_created, history, hdf4_vgroup,
   hdf4_vdata and description as the settings give them. A member
   variable's attributes: long_name, units, valid_range, _FillValue,
   flag_masks, flag_values, flag_meanings, comment, coordinates ("sclk",
   "sclk time", with " spin_sclk" for per-spin members), hdf4_object,
   hdf4_type, each where it applies.

   Memory: hlc_edr_cf_describe() returns one allocation that owns
   everything it points to, the settings' texts copied; release it with
   hlc_edr_cf_free(). The descriptors that it points to (product, members)
   are the library's own and live as long as the program.

   From Python through ctypes: declare the structures below as
   ctypes.Structure classes with the same fields, set
   hlc_edr_cf_describe.restype = ctypes.POINTER(hlc_edr_cf_product), call
   it with hlc_edr_find_product(b"gem_hk") and a settings structure (or
   None), read the arrays through their pointers and counts, and pass the
   pointer back to hlc_edr_cf_free when done.
*/

#ifndef HLC_EDR_CF_H
#define HLC_EDR_CF_H

#include <stddef.h>
#include <stdint.h>

#include "hlc_edr_layout.h"

#ifdef __cplusplus
extern "C" {
#endif

/* netCDF number types, by the values of netcdf.h's NC_ codes. */
#define HLC_EDR_NC_CHAR 2 /* text */
#define HLC_EDR_NC_INT 4
#define HLC_EDR_NC_FLOAT 5
#define HLC_EDR_NC_DOUBLE 6
#define HLC_EDR_NC_UBYTE 7
#define HLC_EDR_NC_USHORT 8
#define HLC_EDR_NC_UINT 9
#define HLC_EDR_NC_INT64 10

/* One attribute: a text or an array of numbers of one type. */
typedef struct hlc_edr_cf_attribute {
  const char *name;     /* "valid_range" */
  int32_t type;         /* HLC_EDR_NC_CHAR for a text, else the values' type */
  int32_t count;        /* number of values; 0 for a text */
  const char *text;     /* the text (stored without its NUL), or NULL */
  const double *values; /* count values, each exact in type (NaN for float NaN), or NULL */
} hlc_edr_cf_attribute;

/* Where a variable's values come from. */
#define HLC_EDR_CF_MEMBER 0    /* the record's member `member`, as the record holds it */
#define HLC_EDR_CF_SCLK 1      /* the record time of spin 0 (hlc_edr_cf_sclk) */
#define HLC_EDR_CF_SPIN_SCLK 2 /* the record time of every spin */
#define HLC_EDR_CF_TIME 3      /* the values of sclk, in seconds since the epoch */

/* One dimension of the group: "record" (size 0: unlimited, one per record)
   first, then the array dimensions in the order of first use. */
typedef struct hlc_edr_cf_dimension {
  const char *name;
  int32_t size;
} hlc_edr_cf_dimension;

/* One variable: dims[0] is "record"; the others are the member's array
   dimensions, last index fastest, of sizes shape[1...]. The stored values
   are those of the record converted to `type` (widening never changes a
   value). */
typedef struct hlc_edr_cf_variable {
  const char *name;
  int32_t type;   /* stored type, HLC_EDR_NC_ */
  int32_t source; /* HLC_EDR_CF_MEMBER ... HLC_EDR_CF_TIME */
  int32_t member; /* index in product->members for HLC_EDR_CF_MEMBER, else -1 */
  int32_t ndims;
  const char *dims[1 + HLC_EDR_MAX_RANK];
  int32_t shape[1 + HLC_EDR_MAX_RANK]; /* shape[0] is 0: the record dimension */
  int32_t nattributes;
  const hlc_edr_cf_attribute *attributes;
} hlc_edr_cf_variable;

/* A product as a netCDF group (or as a dataset of its own). */
typedef struct hlc_edr_cf_product {
  const hlc_edr_product *product;
  int32_t ndims;
  const hlc_edr_cf_dimension *dims;
  int32_t nvariables;
  const hlc_edr_cf_variable *variables;
  int32_t nattributes; /* the group's */
  const hlc_edr_cf_attribute *attributes;
} hlc_edr_cf_product;

/* What the description takes from its caller; any pointer may be NULL
   (the whole settings too), which leaves out what depends on it. */
typedef struct hlc_edr_cf_settings {
  /* The UTC instant of SCLK 0 as a CF reference time, "2000-01-01
     12:00:00" or "2000-01-01 12:00:00.25": adds the variable "time" and
     the ISO 8601 times of the coverage. */
  const char *epoch;
  /* The product's stored description text: the attribute "description". */
  const char *description;
  /* When and by what the data was written: "date_created" (ISO 8601 UTC,
     "2026-12-08T05:33:31Z") and "history". */
  const char *date_created;
  const char *history;
  /* 1 when the product holds records: the earliest and the latest record
     time (sclk) give "time_coverage_start" and "time_coverage_end". */
  int32_t has_coverage;
  double sclk_first;
  double sclk_last;
} hlc_edr_cf_settings;

/* The description of product p with the given settings, or NULL when p is
   NULL, the epoch is no reference time, or memory runs out. */
hlc_edr_cf_product *hlc_edr_cf_describe(const hlc_edr_product *p, const hlc_edr_cf_settings *s);

/* Releases a description (NULL does nothing). */
void hlc_edr_cf_free(hlc_edr_cf_product *d);

/* An ISO 8601 time, YYYY-MM-DD[Thh:mm[:ss[.fff]]][Z|+hh[:mm]|-hh[:mm]] (a
   blank for the T too, up to nine digits of fraction), as the CF reference
   time of the same instant in UTC, "YYYY-MM-DD hh:mm:ss[.fff]" (the
   fraction as given), the form that the settings' epoch takes: written to
   out (size bytes; HLC_EDR_CF_EPOCH_SIZE are enough). 1 when iso is such a
   time, else 0 with out empty. */
#define HLC_EDR_CF_EPOCH_SIZE 64
int32_t hlc_edr_cf_epoch(const char *iso, char *out, size_t size);

/* The record time as the variable "sclk" holds it: seconds + subseconds /
   65536. */
double hlc_edr_cf_sclk(uint32_t seconds, uint16_t subseconds);

/* The attribute of the variable or the group so named, or NULL. */
const hlc_edr_cf_attribute *hlc_edr_cf_attribute_of(int32_t nattributes,
                                                    const hlc_edr_cf_attribute *attributes,
                                                    const char *name);

#ifdef __cplusplus
}
#endif

#endif /* HLC_EDR_CF_H */
