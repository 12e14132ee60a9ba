/* What the fuzzing entries of hlc_edr and hlc_edr_dump share: the scratch
   directory a run works in, and the input's bytes copied into a file there.
   Both end the process with status 2 (never a finding) when they cannot. */
#ifndef HLC_FUZZ_ENTRY_H
#define HLC_FUZZ_ENTRY_H

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

void __real_exit(int status) __attribute__((noreturn));

/* $HLC_FUZZ_SCRATCH, else /tmp/<name>_<uid>, made if missing, into dir. */
static void fuzz_scratch(char *dir, size_t size, const char *name) {
  const char *given = getenv("HLC_FUZZ_SCRATCH");
  if (given != NULL) {
    snprintf(dir, size, "%s", given);
  } else {
    snprintf(dir, size, "/tmp/%s_%u", name, (unsigned)getuid());
  }
  if (mkdir(dir, 0700) != 0 && errno != EEXIST) {
    perror(dir);
    __real_exit(2);
  }
}

/* The rest of `in` into the file at path; closes `in`. */
static void fuzz_copy_input(FILE *in, const char *path) {
  FILE *out = fopen(path, "wb");
  if (out == NULL) {
    perror(path);
    __real_exit(2);
  }
  char block[65536];
  size_t n;
  while ((n = fread(block, 1, sizeof block, in)) > 0) fwrite(block, 1, n, out);
  fclose(in);
  if (fclose(out) != 0) {
    perror(path);
    __real_exit(2);
  }
}

#endif /* HLC_FUZZ_ENTRY_H */
