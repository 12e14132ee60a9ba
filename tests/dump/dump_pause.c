/* A preloaded library that holds a process at its first write of netCDF
   variable data (nc_put_vara and its typed forms), so that a test can order
   other processes around it. With HLC_PAUSE=PATH set, the process opens the FIFO PATH.here
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

static void meet(const char *path, const char *end, int mode) {
  char name[4096];
  snprintf(name, sizeof name, "%s%s", path, end);
  int fd = open(name, mode);
  char c;
  while (fd >= 0 && mode == O_RDONLY && read(fd, &c, 1) > 0) {
  }
  if (fd >= 0) close(fd);
}

static void pause_once(void) {
  static int paused;
  const char *path = getenv("HLC_PAUSE");
  if (path != NULL && !paused) {
    paused = 1;
    meet(path, ".here", O_WRONLY);
    meet(path, ".go", O_RDONLY);
  }
}

/* Each typed writing call of the library, held once, then passed on. */
#define HOLD(T, name)                                                                    \
  int name(int ncid, int varid, const size_t *start, const size_t *count, const T *op) { \
    typedef int real_t(int, int, const size_t *, const size_t *, const T *);             \
    pause_once();                                                                        \
    return ((real_t *)dlsym(RTLD_NEXT, #name))(ncid, varid, start, count, op);           \
  }
HOLD(void, nc_put_vara)
HOLD(unsigned char, nc_put_vara_uchar)
HOLD(unsigned short, nc_put_vara_ushort)
HOLD(unsigned int, nc_put_vara_uint)
HOLD(float, nc_put_vara_float)
HOLD(double, nc_put_vara_double)
