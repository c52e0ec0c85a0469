/* Callers may bind by ordinal: each one must lead to the named export. */
#include <windows.h>

#include <stdio.h>

int CheckPlatformExports(void) {
  static const struct {
    WORD ordinal;
    const char *name;
  } exports[] = {{1, "TX_accept"},       {4, "TX_connect"},
                 {16, "TX_recv"},        {114, "TX_WSAIsBlocking"},
                 {501, "DllGetVersion"}, {1000, "WSASetupTrace"},
                 {1008, "NetQuillWrite"}};
  HMODULE dll = GetModuleHandleA("NETQUILL.DLL");
  size_t i;
  if (dll == NULL) return 1;
  for (i = 0; i < sizeof exports / sizeof exports[0]; ++i) {
    FARPROC by_ordinal =
        GetProcAddress(dll, MAKEINTRESOURCEA(exports[i].ordinal));
    FARPROC by_name = GetProcAddress(dll, exports[i].name);
    if (by_ordinal == NULL || by_ordinal != by_name) {
      fprintf(stderr, "consumer: ordinal %u is not %s\n", exports[i].ordinal,
              exports[i].name);
      return 1;
    }
  }
  /* No entry at an ordinal the table leaves empty, nor a socket name. */
  if (GetProcAddress(dll, MAKEINTRESOURCEA(8)) != NULL) return 1;
  if (GetProcAddress(dll, "connect") != NULL) return 1;
  return 0;
}
