/* A C program, compiled without HDF4's headers, that walks the table of the
   record modules' layout descriptors as a generic reader would: for every
   product its members, their places, sizes and meanings. It lists each
   product and exits 1 if any descriptor disagrees with itself. */
#include <stdio.h>
#include <string.h>

#include "hlc_edr_layout.h"

static int failures = 0;

static void check(int ok, const char *module, const char *member, const char *what) {
  if (!ok) {
    printf("FAILED %s %s: %s\n", module, member, what);
    failures++;
  }
}

static size_t type_size(int32_t type) {
  switch (type) {
    case HLC_EDR_UINT8:
      return 1;
    case HLC_EDR_UINT16:
      return 2;
    case HLC_EDR_UINT32:
    case HLC_EDR_FLOAT32:
      return 4;
  }
  return 0;
}

static int count_words(const char *s) {
  int n = 0;
  size_t i;
  if (s == NULL) return 0;
  for (i = 0; s[i] != '\0'; i++) {
    if (s[i] != ' ' && (i == 0 || s[i - 1] == ' ')) n++;
  }
  return n;
}

static void walk(const hlc_edr_product *p) {
  char list[2048] = "";
  size_t packed = 0, end = 0;
  int32_t i, k, fields = 0, sds = 0;
  for (i = 0; i < p->nmembers; i++) {
    const hlc_edr_member *m = &p->members[i];
    int32_t order = 1;
    check(m->rank >= 0 && m->rank <= HLC_EDR_MAX_RANK, p->module, m->name, "rank");
    for (k = 0; k < m->rank; k++) order *= m->dims[k].size;
    check(order == m->order, p->module, m->name, "order is the product of the dimensions");
    check(type_size(m->type) * (size_t)m->order == m->size, p->module, m->name, "size");
    check(m->offset >= end, p->module, m->name, "declaration order");
    end = m->offset + m->size;
    check(m->long_name != NULL && m->long_name[0] != '\0', p->module, m->name, "long_name");
    check(m->nflags >= 0 && m->nflags <= HLC_EDR_MAX_FLAGS &&
              count_words(m->flag_meanings) == m->nflags,
          p->module, m->name, "flag masks and meanings");
    if (m->sds == NULL) {
      check(m->packed_offset == packed, p->module, m->name, "packed offset");
      packed += m->size;
      if (fields++ > 0) strcat(list, ", ");
      strcat(list, m->name);
    } else {
      check(strncmp(m->sds, p->record, strlen(p->record)) == 0, p->module, m->name, "SDS name");
      sds++;
    }
  }
  check(end <= p->record_size, p->module, "", "record size");
  check(packed == p->packed_size, p->module, "", "packed size");
  check(fields == p->nfields && sds == p->nsds, p->module, "", "fields and SDS");
  check(strcmp(list, p->field_list) == 0, p->module, "", "field list");
  check(p->spins == 1 || p->spins == 4, p->module, "", "spins");
  check(strcmp(p->members[p->sclk_seconds].name, "sclk_seconds") == 0 &&
            p->members[p->sclk_seconds].order == p->spins,
        p->module, "", "record time");
  check(p->init_rd != NULL && p->read != NULL && p->close_rd != NULL && p->rd_Vgrp_desc != NULL &&
            p->desc != NULL && p->desc_size > 0,
        p->module, "", "reading operations");
  printf("%s %s \"%s\": %d members, %d in SDS, %lu bytes packed, %d spin(s)\n", p->module,
         p->record, p->title, (int)p->nmembers, (int)p->nsds, (unsigned long)p->packed_size,
         (int)p->spins);
}

int main(void) {
  int i;
  for (i = 0; i < HLC_EDR_NUM_PRODUCTS; i++) {
    const hlc_edr_product *p = hlc_edr_products[i];
    check(p != NULL && hlc_edr_find_product(p->module) == p, "table", "", "found by its module");
    if (p != NULL) walk(p);
  }
  check(hlc_edr_find_product("no_such_module") == NULL, "table", "", "unknown module");
  return failures == 0 ? 0 : 1;
}
