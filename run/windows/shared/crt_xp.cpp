// What the settings reader uses of the C library and Windows XP's msvcrt lacks.
// Linked into netquill-run.exe and NQINJECT.DLL, which have no C run-time
// start-up of their own.
#include <stddef.h>
#include <string.h>

extern "C" size_t strnlen(const char *s, size_t max) {
  const void *end = memchr(s, '\0', max);
  return end ? static_cast<size_t>(static_cast<const char *>(end) - s) : max;
}
