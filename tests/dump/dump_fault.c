/* A preloaded library that makes writes on an export's work file fail. With
   HLC_FAULT_OUT=OUT set, it watches every write (write, pwrite, pwrite64) on
   a file named OUT.*.tmp, the work file of an export to OUT, as the file's
   own name in /proc/self/fd gives it:
   - HLC_FAULT_ROOM=N: the file system has room for N bytes of the file. A
     write that would make the file longer writes what fits, and one of which
     nothing fits fails with ENOSPC, as on a full file system.
   - HLC_FAULT_EIO_FROM=K: the K-th write on the file (counted from 1) and
     every one after it fail with EIO, as on a failing disk.
   - HLC_FAULT_COUNT=PATH: the number of writes on the file so far is kept in
     the file PATH, as decimal text.
   Every other write, and every one that these let through, goes to the real
   call. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

typedef ssize_t write_t(int, const void *, size_t);
typedef ssize_t pwrite_t(int, const void *, size_t, off_t);

/* Whether fd is open on the work file of an export to HLC_FAULT_OUT. */
static int watched(int fd) {
  const char *out = getenv("HLC_FAULT_OUT");
  if (out == NULL) return 0;
  const int saved = errno;
  char link[64], name[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, name, sizeof name - 1);
  errno = saved;
  if (n < 0) return 0;
  name[n] = '\0';
  const size_t len = (size_t)n, prefix = strlen(out);
  return len > prefix + 4 && strncmp(name, out, prefix) == 0 && name[prefix] == '.' &&
         strcmp(name + len - 4, ".tmp") == 0;
}

/* Counts a write on the work file; whether it is to fail with EIO. */
static int counted_fails(void) {
  static long writes;
  ++writes;
  const char *count = getenv("HLC_FAULT_COUNT");
  if (count != NULL) {
    const int saved = errno;
    const int fd = open(count, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
      char text[32];
      const int n = snprintf(text, sizeof text, "%ld\n", writes);
      pwrite_t *real = (pwrite_t *)dlsym(RTLD_NEXT, "pwrite");
      const ssize_t written = real(fd, text, (size_t)n, 0);
      (void)written; /* a count not kept shows in the test */
      close(fd);
    }
    errno = saved;
  }
  const char *from = getenv("HLC_FAULT_EIO_FROM");
  return from != NULL && writes >= atol(from);
}

/* How many of n bytes written at `at` fit in the room: n, fewer, or 0. */
static size_t fitting(off_t at, size_t n) {
  const char *room_text = getenv("HLC_FAULT_ROOM");
  if (room_text == NULL || at < 0) return n;
  const off_t room = (off_t)atoll(room_text);
  if (at >= room) return 0;
  return (off_t)n > room - at ? (size_t)(room - at) : n;
}

/* The bytes of a watched write to let through; -1 with errno set if none. */
static ssize_t allowed(off_t at, size_t n) {
  if (counted_fails()) {
    errno = EIO;
    return -1;
  }
  const size_t fit = fitting(at, n);
  if (fit == 0) {
    errno = ENOSPC;
    return -1;
  }
  return (ssize_t)fit;
}

ssize_t write(int fd, const void *buf, size_t n) {
  write_t *real = (write_t *)dlsym(RTLD_NEXT, "write");
  if (n == 0 || !watched(fd)) return real(fd, buf, n);
  const ssize_t fit = allowed(lseek(fd, 0, SEEK_CUR), n);
  return fit < 0 ? -1 : real(fd, buf, (size_t)fit);
}

static ssize_t positioned(const char *name, int fd, const void *buf, size_t n, off_t at) {
  pwrite_t *real = (pwrite_t *)dlsym(RTLD_NEXT, name);
  if (n == 0 || !watched(fd)) return real(fd, buf, n, at);
  const ssize_t fit = allowed(at, n);
  return fit < 0 ? -1 : real(fd, buf, (size_t)fit, at);
}

ssize_t pwrite(int fd, const void *buf, size_t n, off_t at) {
  return positioned("pwrite", fd, buf, n, at);
}

ssize_t pwrite64(int fd, const void *buf, size_t n, off_t at) {
  return positioned("pwrite64", fd, buf, n, at);
}
