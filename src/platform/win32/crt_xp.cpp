// What the library and the launcher use of the C library and Windows XP's
// msvcrt lacks. Linked into NETQUILL.DLL, NQINJECT.DLL and netquill-run.exe,
// which have no C run-time start-up of their own; programs that compile the
// library's objects in have their own run time.
#include <stddef.h>
#include <string.h>

extern "C" size_t strnlen(const char *s, size_t max) {
  const void *end = memchr(s, '\0', max);
  return end ? static_cast<size_t>(static_cast<const char *>(end) - s) : max;
}
