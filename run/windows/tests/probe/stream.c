/* stream THREADS COUNT SIZE PAUSE_MS [END_AT]: says "ready PID", waits
   for a line on its standard input, then each of THREADS threads sends
   COUNT datagrams of SIZE bytes to a socket of its own on 127.0.0.1, the
   first 8 bytes its number and the datagram's ("TTSSSSSS"), PAUSE_MS
   apart, and prints "T S" once each sendto has returned. Then it says
   "done" and, for the launcher's reader to be seen at work, waits for a
   second line. With END_AT, once that many datagrams in all have been
   sent, the main thread ends the process with TerminateProcess while the
   others are still sending. */
#include <winsock2.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "probe.h"

static int g_count, g_size, g_pause;
static volatile LONG g_sent;
static HANDLE g_out;

static void Say(const char *text) {
  DWORD written;
  WriteFile(g_out, text, (DWORD)strlen(text), &written, NULL);
}

static DWORD WINAPI Stream(void *arg) {
  int thread = (int)(INT_PTR)arg;
  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in to;
  int length = sizeof to;
  char *data = calloc(1, (size_t)g_size + 9);
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s == INVALID_SOCKET || data == NULL ||
      bind(s, (struct sockaddr *)&to, sizeof to) != 0 ||
      getsockname(s, (struct sockaddr *)&to, &length) != 0)
    return 1;
  for (int i = 0; i < g_count; ++i) {
    char line[32];
    snprintf(data, 9, "%02d%06d", thread, i);
    if (sendto(s, data, g_size, 0, (struct sockaddr *)&to, sizeof to) != g_size)
      return 1;
    /* Read back, so that the socket's buffer never fills. */
    recv(s, data, g_size, 0);
    snprintf(line, sizeof line, "%d %d\n", thread, i);
    Say(line);
    InterlockedIncrement(&g_sent);
    if (g_pause > 0) Sleep((DWORD)g_pause);
  }
  closesocket(s);
  free(data);
  return 0;
}

int StreamDatagrams(int argc, char **argv) {
  enum { kMaxThreads = 64 };
  HANDLE threads[kMaxThreads];
  char line[64];
  WSADATA wsa;
  int count = argc > 1 ? atoi(argv[1]) : 0;
  g_count = argc > 2 ? atoi(argv[2]) : 0;
  g_size = argc > 3 ? atoi(argv[3]) : 0;
  g_pause = argc > 4 ? atoi(argv[4]) : 0;
  LONG end_at = argc > 5 ? atol(argv[5]) : 0;
  if (count < 1 || count > kMaxThreads || g_size < 8 ||
      WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
    return 64;
  g_out = GetStdHandle(STD_OUTPUT_HANDLE);
  snprintf(line, sizeof line, "ready %lu\n", GetCurrentProcessId());
  Say(line);
  if (fgets(line, sizeof line, stdin) == NULL) return 1;
  for (int t = 0; t < count; ++t)
    threads[t] = CreateThread(NULL, 0, Stream, (void *)(INT_PTR)t, 0, NULL);
  while (end_at > 0 && g_sent < end_at) SwitchToThread();
  if (end_at > 0) TerminateProcess(GetCurrentProcess(), 9);
  WaitForMultipleObjects((DWORD)count, threads, TRUE, INFINITE);
  Say("done\n");
  if (fgets(line, sizeof line, stdin) == NULL) return 1;
  WSACleanup();
  return 0;
}
