/* A preloaded library that holds a process at its first write of netCDF
   variable data (nc_put_vara), so that a test can order other processes
   around it. With HLC_PAUSE=PATH set, the process opens the FIFO PATH.here
   for writing and closes it (the test then knows that it is there), then
   waits until the test opens the FIFO PATH.go for writing and closes it.
   Every call then goes on to the real library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

typedef int put_vara(int, int, const size_t *, const size_t *, const void *);

static void meet(const char *path, const char *end, int mode) {
  char name[4096];
  snprintf(name, sizeof name, "%s%s", path, end);
  int fd = open(name, mode);
  char c;
  while (fd >= 0 && mode == O_RDONLY && read(fd, &c, 1) > 0) {
  }
  if (fd >= 0) close(fd);
}

int nc_put_vara(int ncid, int varid, const size_t *start, const size_t *count, const void *op) {
  static int paused;
  const char *path = getenv("HLC_PAUSE");
  if (path != NULL && !paused) {
    paused = 1;
    meet(path, ".here", O_WRONLY);
    meet(path, ".go", O_RDONLY);
  }
  put_vara *real = (put_vara *)dlsym(RTLD_NEXT, "nc_put_vara");
  return real(ncid, varid, start, count, op);
}
