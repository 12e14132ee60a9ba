/* A preloaded library that counts the program's heap allocations (malloc,
   calloc and realloc calls) and, at exit, writes the number to the file that
   HLC_MALLOC_COUNT names. The allocations themselves are glibc's. */
#include <stdio.h>
#include <stdlib.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t n, size_t size);
extern void *__libc_realloc(void *p, size_t size);

static unsigned long allocations;

void *malloc(size_t size) {
  ++allocations;
  return __libc_malloc(size);
}
void *calloc(size_t n, size_t size) {
  ++allocations;
  return __libc_calloc(n, size);
}
void *realloc(void *p, size_t size) {
  ++allocations;
  return __libc_realloc(p, size);
}

__attribute__((destructor)) static void report(void) {
  const unsigned long counted = allocations;
  const char *path = getenv("HLC_MALLOC_COUNT");
  if (path == NULL) return;
  FILE *f = fopen(path, "w");
  if (f == NULL) return;
  fprintf(f, "%lu\n", counted);
  fclose(f);
}
