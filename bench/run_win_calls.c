/*
 * The program netquill_run_win.sh times: with no argument it only starts
 * and ends (the launcher's start-up against a plain start); with N it
 * times N calls of WSAIsBlocking, a traced call that costs next to nothing
 * itself, and prints nanoseconds per call.
 * Built plain (ws2_32 only, traced through netquill-run) and with
 * NQ_BENCH_WRAPPED (the same call handed to the hook in its own code).
 */
#include <winsock2.h>

#include <stdio.h>
#include <stdlib.h>

#if defined(NQ_BENCH_WRAPPED)
#include "netquill_wrap.h"
#define CALL(name) nq_##name
static void StartTrace(void) {
  static TraceErrorHooks bridge = {WSAGetLastError, WSASetLastError};
  const char *flags = getenv("NETQUILL_FLAGS");
  WSASetupTrace(&bridge);
  WSAEnableTrace(getenv("NETQUILL_FILE"), flags ? strtoul(flags, 0, 0) : 0);
}
#else
#define CALL(name) name
static void StartTrace(void) {}
#endif

int main(int argc, char **argv) {
  WSADATA data;
  LARGE_INTEGER start, end, hz;
  long n = argc > 1 ? atol(argv[1]) : 0, i;
  if (n <= 0) return 0;
  WSAStartup(MAKEWORD(2, 2), &data);
  StartTrace();
  /* The first call starts the thread's trace; it is not timed. */
  CALL(WSAIsBlocking)();
  QueryPerformanceFrequency(&hz);
  QueryPerformanceCounter(&start);
  for (i = 0; i < n; ++i) CALL(WSAIsBlocking)();
  QueryPerformanceCounter(&end);
  printf("%.1f\n", (double)(end.QuadPart - start.QuadPart) * 1e9 /
                       (double)hz.QuadPart / (double)n);
  return 0;
}
