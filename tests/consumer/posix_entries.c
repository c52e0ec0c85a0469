/* Ordinals are a Windows export table matter. Here the installed
 * netquill_posix.h must compile and its entries link: one of them traces
 * nothing on a thread that does not trace and returns the result it got. */
#include "netquill_posix.h"

int CheckPlatformExports(void) {
  return NQX_write(5, -1, "hello", 5) == 5 ? 0 : 1;
}
