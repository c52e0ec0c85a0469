/* A blocking Winsock echo server: ws2_echo PORT COUNT listens on
   127.0.0.1:PORT, echoes each of COUNT connections on a thread of its own
   until the peer shuts down, then exits with 7 once all are served. Its
   threads wait in accept and recv, where an attach finds them. Each call
   is made from a function of its own: a loop of calls would keep the
   import's address in a register, from before the attach. */
#include <winsock2.h>

#include <stdio.h>
#include <stdlib.h>

static __attribute__((noinline)) int EchoOnce(SOCKET s) {
  char buffer[4096];
  int n = recv(s, buffer, sizeof buffer, 0);
  return n > 0 && send(s, buffer, n, 0) == n;
}

static __attribute__((noinline)) SOCKET AcceptOne(SOCKET listener) {
  return accept(listener, NULL, NULL);
}

static DWORD WINAPI Echo(void *arg) {
  SOCKET s = (SOCKET)(UINT_PTR)arg;
  while (EchoOnce(s)) {
  }
  closesocket(s);
  return 0;
}

int main(int argc, char **argv) {
  WSADATA data;
  struct sockaddr_in at;
  HANDLE threads[64];
  int count = argc > 2 ? atoi(argv[2]) : 1, i;
  SOCKET listener;
  if (count < 1 || count > 64 || WSAStartup(MAKEWORD(2, 2), &data) != 0)
    return 1;
  listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  memset(&at, 0, sizeof at);
  at.sin_family = AF_INET;
  at.sin_port = htons((u_short)atoi(argc > 1 ? argv[1] : "0"));
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, (struct sockaddr *)&at, sizeof at) != 0 ||
      listen(listener, 8) != 0)
    return 2;
  printf("listening\n");
  fflush(stdout);
  for (i = 0; i < count; ++i) {
    SOCKET s = AcceptOne(listener);
    if (s == INVALID_SOCKET) return 3;
    threads[i] = CreateThread(NULL, 0, Echo, (void *)(UINT_PTR)s, 0, NULL);
  }
  WaitForMultipleObjects(count, threads, TRUE, INFINITE);
  closesocket(listener);
  WSACleanup();
  return 7;
}
