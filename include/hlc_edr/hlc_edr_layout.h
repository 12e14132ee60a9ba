/*
   HLC EDR record layouts: every record module describes its product for
   programs in C and C++ that read EDR files generically. The record
   structure, where the file keeps each of its members (the Vdata table or an
   SDS), the names of the product's objects in the file, what each member
   means, and the module's reading operations.

   This header needs no HDF4 header: its types are those of <stdint.h> and
   <stddef.h>, and the number types have the values of HDF4's DFNT_ codes.

   One descriptor per module, hlc_edr_product_<module>, defined in the
   module's object (so mec_f1d.o carries its own) and declared by its
   <module>_api.h; the table of all twelve, hlc_edr_products, and
   hlc_edr_find_product are in the record modules library (hlc_records).
   The descriptors are the registry of the products: every program and
   tool takes the products, their names and their layouts from them, and a
   generic writer writes through their writing operations.
*/

#ifndef HLC_EDR_LAYOUT_H
#define HLC_EDR_LAYOUT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Number types, as HDF4 stores them (DFNT_UINT8 ... DFNT_FLOAT32). */
#define HLC_EDR_UINT8 21
#define HLC_EDR_UINT16 23
#define HLC_EDR_UINT32 25
#define HLC_EDR_FLOAT32 5

#define HLC_EDR_MAX_RANK 3   /* array dimensions of a member */
#define HLC_EDR_MAX_FLAGS 32 /* flags of a status word */
#define HLC_EDR_NUM_PRODUCTS 12

/* One array dimension: the constant of hlc_edr_const.h that sizes it. */
typedef struct hlc_edr_dim {
  const char *name; /* "GEM_AZIMUTH_SECTORS" */
  int32_t size;     /* 24 */
} hlc_edr_dim;

/* One member of the record structure, in declaration order. */
typedef struct hlc_edr_member {
  /* Layout. */
  const char *name;                   /* "counts" */
  int32_t type;                       /* HLC_EDR_UINT8 ... HLC_EDR_FLOAT32 */
  int32_t rank;                       /* 0 for a scalar, up to HLC_EDR_MAX_RANK */
  hlc_edr_dim dims[HLC_EDR_MAX_RANK]; /* the first rank entries; last index fastest */
  int32_t order;                      /* number of values: 1, or the product of the dims */
  size_t offset;                      /* offsetof in the record structure */
  size_t size;                        /* sizeof the member */
  /* The SDS that keeps the member, one slab per record, or NULL for a field
     of the Vdata table, which then lies at packed_offset in the packed
     record (0 for an SDS member). */
  const char *sds;
  size_t packed_offset;

  /* Meaning, as the record header states it. NULL (and 0) where it says
     nothing. */
  const char *long_name; /* always given */
  const char *units;     /* UDUNITS form */
  const char *comment;   /* what the header says that is no unit */
  int32_t has_valid_range;
  double valid_min, valid_max; /* in the member's type */
  /* The flags of a status word: per entry a mask and the value that the
     masked word has when the meaning holds. A single bit is one entry whose
     value is its mask; an enumeration, a range of bits whose values mean
     states, is one entry per state, all with the range's mask. Counters
     and spare bits are no flags: the comment says what they hold. */
  int32_t nflags;
  uint32_t flag_masks[HLC_EDR_MAX_FLAGS];  /* the first nflags entries */
  uint32_t flag_values[HLC_EDR_MAX_FLAGS]; /* the first nflags entries */
  const char *flag_meanings;               /* nflags blank-separated words */
} hlc_edr_member;

/* One product: its module, its objects in the file, its members, and what a
   reading program needs to use the module without knowing its record type. */
typedef struct hlc_edr_product {
  const char *module;       /* "gem_raw" */
  const char *record;       /* record structure and Vdata name, "GEM_Raw" */
  const char *title;        /* "GEM Raw Count Data" */
  const char *header;       /* record header, named in the description: "gem_raw.h" */
  const char *vgroup;       /* "VG_GEM_Raw" */
  const char *vgroup_class; /* "VG_GEM_RAW" */
  const char *vdata;        /* the Vdata table: the record name */
  const char *field_list;   /* the Vdata fields, joined by ", " */
  size_t record_size;       /* sizeof the record structure */
  size_t packed_size;       /* bytes of one Vdata record */
  int32_t nmembers;
  const hlc_edr_member *members; /* all members, in declaration order */
  int32_t nfields;               /* members in the Vdata table */
  int32_t nsds;                  /* members in SDS */
  /* The record time: members sclk_seconds and sclk_subseconds (indices in
     members), scalars, or arrays over `spins` spins. */
  int32_t spins;
  int32_t sclk_seconds;
  int32_t sclk_subseconds;

  /* The module's reading operations: init_rd_<module>, read_<module> (with
     a pointer to a record structure of record_size bytes),
     close_rd_<module>, rd_Vgrp_desc_<module>. */
  int32_t (*init_rd)(int32_t file_id, int32_t sd_id, const char *access);
  int32_t (*read)(void *record, int32_t position);
  void (*close_rd)(void);
  void (*rd_Vgrp_desc)(int32_t file_id, int32_t an_id);
  char *desc; /* the description buffer that rd_Vgrp_desc fills */
  size_t desc_size;

  /* The module's writing operations: init_wr_<module> (file, SD and AN
     interface identifiers, the Vdata class), write_<module> (with a
     pointer to a record structure of record_size bytes, which it takes by
     value; position -1 for the next record), close_wr_<module>. */
  int32_t (*init_wr)(int32_t file_id, int32_t sd_id, int32_t an_id, const char *vdata_class);
  int32_t (*write)(const void *record, int32_t position);
  void (*close_wr)(void);

  /* read_block_<module>: `count` records from `position` of the table open
     for reading, into one column per member in declaration order (NULL
     skips the member), each receiving count values back to back as the
     record structure holds the member (size bytes each, host order). */
  int32_t (*read_block)(int32_t position, int32_t count, void *const *columns);
  /* The instrument unit that sends the product: "GEM", "GIM",
     "Concentrator", "MEC". */
  const char *instrument;
  /* flush_wr_<module>: writes the records that write_<module> keeps back
     (see hlc_edr_module.h); 0, or -1 when they could not be written. */
  int32_t (*flush_wr)(void);
} hlc_edr_product;

/* The twelve, in the order of the modules' list in the build (gem_hk
   first, mec_f1d last). */
extern const hlc_edr_product *const hlc_edr_products[HLC_EDR_NUM_PRODUCTS];

/* The product of the module so named ("gem_raw"), or NULL. */
const hlc_edr_product *hlc_edr_find_product(const char *module);

#ifdef __cplusplus
}
#endif

#endif /* HLC_EDR_LAYOUT_H */
