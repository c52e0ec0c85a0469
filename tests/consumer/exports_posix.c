/* Ordinals are a Windows export table matter. Here the installed library
 * exports the API of netquill.h and nothing of netquill-run's interposer:
 * its entries live in the interposer alone. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>

int CheckPlatformExports(void) {
  static const char *const kNotOurs[] = {"NQX_write", "NQP_HoldTraceFile",
                                         "NQP_TraceTlsKey"};
  for (size_t i = 0; i < sizeof kNotOurs / sizeof kNotOurs[0]; ++i) {
    if (dlsym(RTLD_DEFAULT, kNotOurs[i]) != NULL) {
      fprintf(stderr, "consumer: the library exports %s\n", kNotOurs[i]);
      return 1;
    }
  }
  return dlsym(RTLD_DEFAULT, "TX_connect") != NULL ? 0 : 1;
}
