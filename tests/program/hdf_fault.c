/* A preloaded library that makes one HDF4 call fail, so that the program's
   handling of that failure can be seen end to end. HLC_FAIL names the call
   (Hopen, Vinitialize, SDstart, ANstart, Vattach, VSwrite, SDwritedata,
   ANend, SDend, Vfinish or Hclose); HLC_FAIL_AFTER, if set, lets that many calls succeed
   first. Every other call goes to the real library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#include "hdf.h"
#include "mfhdf.h"

static int should_fail(const char *name) {
  static int calls;
  const char *target = getenv("HLC_FAIL");
  const char *after = getenv("HLC_FAIL_AFTER");
  if (target == NULL || strcmp(target, name) != 0) return 0;
  return calls++ >= (after ? atoi(after) : 0);
}

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

int32 Hopen(const char *path, intn access, int16 ndds) {
  return should_fail("Hopen") ? -1 : REAL(Hopen)(path, access, ndds);
}
intn Vinitialize(HFILEID f) {
  return should_fail("Vinitialize") ? -1 : REAL(Vinitialize)(f);
}
int32 SDstart(const char *name, int32 access) {
  return should_fail("SDstart") ? -1 : REAL(SDstart)(name, access);
}
int32 ANstart(int32 f) {
  return should_fail("ANstart") ? -1 : REAL(ANstart)(f);
}
int32 Vattach(HFILEID f, int32 ref, const char *access) {
  return should_fail("Vattach") ? -1 : REAL(Vattach)(f, ref, access);
}
int32 VSwrite(int32 vs, const uint8 buf[], int32 n, int32 interlace) {
  return should_fail("VSwrite") ? -1 : REAL(VSwrite)(vs, buf, n, interlace);
}
intn SDwritedata(int32 sds, int32 *start, int32 *stride, int32 *edge, void *data) {
  return should_fail("SDwritedata") ? -1 : REAL(SDwritedata)(sds, start, stride, edge, data);
}
int32 ANend(int32 an) {
  return should_fail("ANend") ? -1 : REAL(ANend)(an);
}
intn SDend(int32 sd) {
  return should_fail("SDend") ? -1 : REAL(SDend)(sd);
}
intn Vfinish(HFILEID f) {
  return should_fail("Vfinish") ? -1 : REAL(Vfinish)(f);
}
intn Hclose(int32 f) {
  return should_fail("Hclose") ? -1 : REAL(Hclose)(f);
}
