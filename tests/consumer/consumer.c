/* Traces one failed connect and checks the line that lands in the file. */
#include <stdio.h>
#include <string.h>

#include "netquill.h"

int CheckPlatformExports(void);

int main(int argc, char **argv) {
  char line[256];
  FILE *f;
  int found = 0;
  if (argc < 2) return 2;
  remove(argv[1]);
  if (!WSAEnableTrace(argv[1], TRACE_FLAG_ERRORS)) return 3;
  if (TX_connect(-1, 7, NULL, 16) != -1) return 4;
  WSADisableTrace();
  f = fopen(argv[1], "rb");
  if (f == NULL) return 5;
  while (fgets(line, sizeof line, f) != NULL) {
    if (strstr(line, " ERR: connect(7, NULL, 16) returned -1 [0]\r\n")) ++found;
  }
  fclose(f);
  if (found != 1) {
    fprintf(stderr, "consumer: the traced line is missing\n");
    return 6;
  }
  if (CheckPlatformExports() != 0) return 7;
  puts("consumer: OK");
  return 0;
}
