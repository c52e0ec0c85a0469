/* echo PORT COUNT CHILD: echoes each of COUNT connections to
   127.0.0.1:PORT on a thread of its own until the peer shuts down (a
   "spawn" runs CHILD and answers its exit code), then exits with 7. Its
   threads wait in accept and recv, where an attach finds them; each call
   is made from a function of its own, since a loop of calls would keep the
   import's address in a register from before the attach. With "held" for
   CHILD it is such a loop: one thread serves the connections one after
   the other through the addresses of accept, recv and send it fetched
   before its first accept. */
#include <winsock2.h>

#include <process.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "probe.h"

static const char *g_child; /* run as "CHILD child" for "spawn" */

static __attribute__((noinline)) int EchoOnce(SOCKET s) {
  char buffer[4096];
  int n = recv(s, buffer, sizeof buffer, 0);
  if (n == 5 && memcmp(buffer, "spawn", 5) == 0)
    n = sprintf(buffer, "run %d",
                (int)_spawnl(_P_WAIT, g_child, g_child, "child", NULL));
  return n > 0 && send(s, buffer, n, 0) == n;
}

static __attribute__((noinline)) SOCKET AcceptOne(SOCKET listener) {
  return accept(listener, NULL, NULL);
}

static int Held(SOCKET listener, int count) {
  /* volatile: a compiler short of registers would read the import again */
  SOCKET(WSAAPI *volatile take)(SOCKET, struct sockaddr *, int *) = accept;
  int(WSAAPI *volatile in)(SOCKET, char *, int, int) = recv;
  int(WSAAPI *volatile out)(SOCKET, const char *, int, int) = send;
  char buffer[4096];
  int n;
  while (count-- > 0) {
    SOCKET s = take(listener, NULL, NULL);
    while ((n = in(s, buffer, sizeof buffer, 0)) > 0 &&
           out(s, buffer, n, 0) == n)
      ;
    closesocket(s);
  }
  return 7;
}

static DWORD WINAPI Echo(void *s) {
  while (EchoOnce((SOCKET)s)) {
  }
  return closesocket((SOCKET)s);
}

int EchoServer(int argc, char **argv) {
  WSADATA data;
  struct sockaddr_in at = {
      AF_INET, htons(atoi(argv[1])), {{{127, 0, 0, 1}}}, {0}};
  HANDLE threads[64];
  int count = argc == 4 ? atoi(argv[2]) : 0, i;
  SOCKET listener;
  g_child = argv[3];
  WSAStartup(MAKEWORD(2, 2), &data);
  listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (bind(listener, (struct sockaddr *)&at, sizeof at) || listen(listener, 8))
    return 2;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "listening\n", 10, NULL, NULL);
  if (strcmp(g_child, "held") == 0) return Held(listener, count);
  for (i = 0; i < count && i < 64; ++i)
    threads[i] =
        CreateThread(NULL, 0, Echo, (void *)AcceptOne(listener), 0, NULL);
  WaitForMultipleObjects(i, threads, TRUE, INFINITE);
  return 7;
}
