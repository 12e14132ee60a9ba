/*
   HLC EDR record modules: the 16 operations that every record module offers,
   declared with C linkage for programs in C and C++ that write or read EDR
   files. A module's own header (for example con_hk_api.h) applies this to its
   name and record structure.

   Results are 0 for success and -1 for failure; init_acc_/init_rd_ give the
   number of records in the table (0 when it is missing or empty); a record
   position of -1 means the next record, and one below -1 is refused.

   read_block_ reads `count` records from `position` of the table open for
   reading into the caller's columns: one pointer per member of the record
   structure, in declaration order (NULL skips the member), each to room
   for count values of the member back to back, as the record structure
   holds them. It refuses, reading nothing, a module not open for reading,
   a negative position or count, and a block that goes past the last
   record; the next read_(record, -1) continues after the block.

   Records appended with write_(record, -1) are written behind: kept,
   packed, and written a block at a time (one VSwrite for the table, one
   SDwritedata per array), so that a write_ that returns 0 may not yet
   have reached the file. What is kept is written before a positional
   write, a read and close_wr_, and by flush_wr_, which gives 0, or -1
   (with the module's error report) when the records could not be
   written; a failed block write that a write_ starts makes that write_
   give -1. A writer that must know every record reached the file calls
   flush_wr_ before close_wr_, which has no result (it reports a failure
   of its own flush on standard error).

   A module is open for one use at a time: init_wr_/init_cr_ and
   init_rd_/init_acc_ give -1, leaving what is open as it was, until
   close_wr_ or close_rd_ has closed it. Each close does nothing unless the
   module is open for its use, so close_rd_ may follow a failed init_rd_.

   Each module also describes itself, its layout and these operations, for
   programs that read or write every product alike: its descriptor
   hlc_edr_product_<module> (hlc_edr_layout.h).
*/

#ifndef HLC_EDR_MODULE_H
#define HLC_EDR_MODULE_H

#include "hdfi.h"
#include "hlc_edr_layout.h"

#ifdef __cplusplus
#define HLC_EDR_EXTERN_C_BEGIN extern "C" {
#define HLC_EDR_EXTERN_C_END }
#else
#define HLC_EDR_EXTERN_C_BEGIN
#define HLC_EDR_EXTERN_C_END
#endif

#define HLC_EDR_MODULE_API(m, Record)                                                  \
  HLC_EDR_EXTERN_C_BEGIN                                                               \
  int32 init_cr_##m(int32 file_id, int32 sd_id, int32 an_id, const char *vdata_class); \
  int32 init_wr_##m(int32 file_id, int32 sd_id, int32 an_id, const char *vdata_class); \
  int32 write_##m(struct Record record, int32 position);                               \
  int32 flush_wr_##m(void);                                                            \
  void close_wr_##m(void);                                                             \
  int32 init_acc_##m(int32 file_id, int32 sd_id, const char *access);                  \
  int32 init_rd_##m(int32 file_id, int32 sd_id, const char *access);                   \
  int32 read_##m(struct Record *record, int32 position);                               \
  int32 read_block_##m(int32 position, int32 count, void *const *columns);             \
  void close_rd_##m(void);                                                             \
  void rd_Vgrp_desc_##m(int32 file_id, int32 an_id);                                   \
  void print_##m##_error(const char *message);                                         \
  void pack_##m(void *packed, const struct Record *record);                            \
  void unpack_##m(const void *packed, struct Record *record);                          \
  int32 get_vgrp_id_##m(void);                                                         \
  int32 wr_Vgrp_desc_##m(char *buffer);                                                \
  extern int32 vgrp_id_##m;                                                            \
  extern const hlc_edr_product hlc_edr_product_##m;                                    \
  HLC_EDR_EXTERN_C_END

#endif /* HLC_EDR_MODULE_H */
