/* The fuzzing entry of hlc_edr_dump: the dump itself, linked with
   -Wl,--wrap=main,--wrap=exit,--wrap=_exit, so that one input file drives
   a whole run of it and every way the run ends is judged.

     hlc_edr_dump_fuzz INPUT

   Byte 0 of INPUT picks what the dump does with the rest, an EDR file: the
   listing; a product's records as CSV or as JSON Lines; its description;
   the netCDF-4 export of every product or of one. The products are those
   of the record modules' registry (hlc_edr_layout.h). Each run works in a
   scratch directory ($HLC_FUZZ_SCRATCH, default /tmp/hlc_dump_fuzz_<uid>),
   where standard error goes to a file.

   Findings end in abort(), which a fuzzer reports as a crash: an exit
   status other than 0 or 1, a status 1 without an "ERROR: " line, a
   sanitizer report (the reading process writes to the same standard
   error), and an export's work file left behind. */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fuzz_entry.h"
#include "hlc_edr_layout.h"

int __real_main(int argc, char **argv);
void __real__exit(int status) __attribute__((noreturn));

static char scratch[256];
static char edr_path[300];
static char err_path[300];
static char out_path[300];
static pid_t dump_pid;

static int report_fd = -1; /* the standard error the run was started with */

/* Shows the run's standard error, then the finding, where the run was
   started. */
static void finding(const char *what) {
  char buf[4096];
  const int fd = open(err_path, O_RDONLY);
  ssize_t n;
  while (fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0) {
    if (write(report_fd, buf, (size_t)n) != n) break;
  }
  if (fd >= 0) close(fd);
  dprintf(report_fd, "hlc_edr_dump_fuzz: finding: %s\n", what);
  abort();
}

/* True when the file at path holds `text`. */
static int holds(const char *path, const char *text) {
  static char buf[1 << 16];
  FILE *f = fopen(path, "rb");
  if (f == NULL) return 0;
  const size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  buf[n] = '\0';
  return strstr(buf, text) != NULL;
}

/* A work file that an export leaves is named after its output,
   out.nc.XXXXXX.tmp. Counts them, removing them when `remove` is set: a run
   that the fuzzer killed at its time limit (SIGKILL, which nothing can
   clean up after) leaves one, which must not be judged as the next run's. */
static int work_files(int remove) {
  DIR *d = opendir(scratch);
  int left = 0;
  if (d == NULL) return 0;
  for (struct dirent *e; (e = readdir(d)) != NULL;) {
    const size_t n = strlen(e->d_name);
    if (strncmp(e->d_name, "out.nc.", 7) == 0 && n > 4 && strcmp(e->d_name + n - 4, ".tmp") == 0) {
      ++left;
      if (remove) unlinkat(dirfd(d), e->d_name, 0);
    }
  }
  closedir(d);
  return left;
}

/* Only the dump's own process judges; the reading process ends as it
   would. */
static void judge(int status) {
  if (getpid() != dump_pid) return;
  fflush(stdout);
  fflush(stderr);
  if (holds(err_path, "Sanitizer") || holds(err_path, "runtime error:")) {
    finding("a sanitizer report");
  }
  if (status != 0 && status != 1) finding("exit status other than 0 or 1");
  if (status == 1 && !holds(err_path, "ERROR: ")) finding("exit status 1 without an ERROR line");
  if (work_files(0) > 0) finding("an export's work file left behind");
  unlink(out_path);
  unlink(edr_path);
}

void __wrap_exit(int status) {
  judge(status);
  __real_exit(status);
}

void __wrap__exit(int status) {
  judge(status);
  __real__exit(status);
}

int __wrap_main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: hlc_edr_dump_fuzz INPUT\n");
    __real_exit(2);
  }
  FILE *in = fopen(argv[1], "rb");
  if (in == NULL) {
    perror(argv[1]);
    __real_exit(2);
  }
  int mode = fgetc(in);
  if (mode == EOF) mode = 0;

  fuzz_scratch(scratch, sizeof scratch, "hlc_dump_fuzz");
  snprintf(edr_path, sizeof edr_path, "%s/in.hdf", scratch);
  snprintf(err_path, sizeof err_path, "%s/err", scratch);
  snprintf(out_path, sizeof out_path, "%s/out.nc", scratch);
  unlink(out_path);
  work_files(1);
  fuzz_copy_input(in, edr_path);

  /* Standard output is dropped; standard error is kept to be judged. */
  const int null_fd = open("/dev/null", O_WRONLY);
  const int err_fd = open(err_path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (null_fd < 0 || err_fd < 0) {
    perror(err_path);
    __real_exit(2);
  }
  report_fd = dup(STDERR_FILENO);
  dup2(null_fd, STDOUT_FILENO);
  dup2(err_fd, STDERR_FILENO);
  close(null_fd);
  close(err_fd);
  dump_pid = getpid();

  /* 0 the listing; then per product: CSV, JSON Lines, description,
     export; then the export of every product. */
  const int choices = 2 + 4 * HLC_EDR_NUM_PRODUCTS;
  const int choice = mode % choices;
  char *args[8];
  int a = 0;
  args[a++] = argv[0];
  args[a++] = edr_path;
  if (choice > 0 && choice < choices - 1) {
    const int p = (choice - 1) / 4;
    args[a++] = (char *)hlc_edr_products[p]->module;
    switch ((choice - 1) % 4) {
      case 0:
        break;
      case 1:
        args[a++] = (char *)"--format";
        args[a++] = (char *)"jsonl";
        break;
      case 2:
        args[a++] = (char *)"--describe";
        break;
      default:
        args[a++] = (char *)"--netcdf";
        args[a++] = out_path;
        break;
    }
  } else if (choice == choices - 1) {
    args[a++] = (char *)"--netcdf";
    args[a++] = out_path;
  }
  args[a] = NULL;
  const int status = __real_main(a, args);
  judge(status);
  return status;
}
