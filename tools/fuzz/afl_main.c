/* The fuzzing entry of hlc_edr: the program itself, linked with
   -Wl,--wrap=main,--wrap=exit, so that one input file drives a whole run
   and every way the run ends is judged.

     hlc_edr_fuzz INPUT

   Byte 0 of INPUT picks the instrument word (gem, gim, con, mec, acs),
   byte 1 whether and which "-apid" kind of that instrument is selected, and
   the rest is the TLM file. Each run works in a scratch directory
   ($HLC_FUZZ_SCRATCH, default /tmp/hlc_fuzz_<uid>), emptied first.

   Findings end in abort(), which a fuzzer reports as a crash: an exit
   status other than 0 or -1, a success without an output file or with the
   work file left behind, and a failure with a file under the final name.
   Crashes, hangs and sanitizer reports are the fuzzer's and the
   sanitizers' own findings. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fuzz_entry.h"

int __real_main(int argc, char **argv);

static const char *const kInstruments[5] = {"gem", "gim", "con", "mec", "acs"};
/* The "-apid" kinds of each instrument. */
static const char *const kKinds[5][6] = {
    {"hk", "mancal", "normal", "raw", NULL, NULL}, {"hk", "mancal", "normal", "raw", "diag", NULL},
    {"hk", NULL, NULL, NULL, NULL, NULL},          {"hk", "f1d", NULL, NULL, NULL, NULL},
    {"quats", NULL, NULL, NULL, NULL, NULL},
};

static char edr_path[512];
static char work_path[520];
static char tlm_path[512];

static int exists(const char *path) {
  struct stat st;
  return lstat(path, &st) == 0;
}

static int is_regular(const char *path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISREG(st.st_mode);
}

static void finding(const char *what) {
  fflush(stdout);
  fprintf(stderr, "hlc_edr_fuzz: finding: %s\n", what);
  abort();
}

void __wrap_exit(int status) {
  fflush(stdout);
  if (status == 0) {
    if (!is_regular(edr_path)) finding("success without an output file");
    if (exists(work_path)) finding("success with the work file left behind");
  } else if (status == -1) {
    if (exists(edr_path)) finding("failure with a file under the final name");
  } else {
    finding("exit status other than 0 or -1");
  }
  unlink(edr_path);
  unlink(work_path);
  unlink(tlm_path);
  __real_exit(status);
}

int __wrap_main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: hlc_edr_fuzz INPUT\n");
    __real_exit(2);
  }
  FILE *in = fopen(argv[1], "rb");
  if (in == NULL) {
    perror(argv[1]);
    __real_exit(2);
  }
  int inst = fgetc(in);
  int kind = fgetc(in);
  if (inst == EOF) inst = 0;
  if (kind == EOF) kind = 0;

  char scratch[256];
  fuzz_scratch(scratch, sizeof scratch, "hlc_fuzz");
  snprintf(tlm_path, sizeof tlm_path, "%s/in.tlm", scratch);
  snprintf(edr_path, sizeof edr_path, "%s/out.edr", scratch);
  snprintf(work_path, sizeof work_path, "%s.tmp", edr_path);
  unlink(edr_path);
  unlink(work_path);
  fuzz_copy_input(in, tlm_path);

  const int i = inst % 5;
  int nkinds = 0;
  while (nkinds < 6 && kKinds[i][nkinds] != NULL) ++nkinds;
  const int k = kind % (nkinds + 1); /* 0: no "-apid" */
  char *args[10];
  int a = 0;
  args[a++] = argv[0];
  args[a++] = (char *)"-inst";
  args[a++] = (char *)kInstruments[i];
  if (k > 0) {
    args[a++] = (char *)"-apid";
    args[a++] = (char *)kKinds[i][k - 1];
  }
  args[a++] = (char *)"-tlm";
  args[a++] = tlm_path;
  args[a++] = (char *)"-edr";
  args[a++] = edr_path;
  args[a] = NULL;
  return __real_main(a, args);
}
