/*
 * A program of the kind the drop-in is for: Windows Sockets 1.1 through
 * winsock.h, linked against wsock32 only, knowing nothing of tracing.
 *
 * It runs a loopback client and server exchange, a refused connect and the
 * untraced helpers, and prints what the socket library told it on stdout,
 * which must read the same with and without the drop-in. The values that
 * differ from run to run (socket handles, the port) go to stderr, where
 * the test that reads the trace finds them.
 */
#include <winsock.h>

#include <stdio.h>
#include <string.h>

static void Report(const char *what, long result) {
  printf("%s: %ld %d\n", what, result, result < 0 ? WSAGetLastError() : 0);
}

static DWORD WINAPI OtherThread(LPVOID unused) {
  char name[256];
  (void)unused;
  /* A second thread: traced from its own first call on. */
  Report("thread gethostname", gethostname(name, sizeof name));
  fprintf(stderr, "host %s\n", name);
  Report("thread bad socket",
         socket(AF_INET, 12345, 0) == INVALID_SOCKET ? -1 : 0);
  return 0;
}

/* Threads that trace at once, each from its own first call, each with its
 * own error codes. */
#define kWorkers 8

struct worker {
  int closed, bad_socket, bad_error, again, again_error;
};

static DWORD WINAPI Worker(LPVOID arg) {
  struct worker *w = (struct worker *)arg;
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  w->closed = closesocket(s);
  w->bad_socket = socket(AF_INET, 12345, 0) == INVALID_SOCKET ? -1 : 0;
  w->bad_error = WSAGetLastError();
  /* Not s again: another thread may hold that handle value by now. */
  w->again = closesocket(INVALID_SOCKET);
  w->again_error = WSAGetLastError();
  return 0;
}

static void RunWorkers(void) {
  struct worker workers[kWorkers];
  HANDLE threads[kWorkers];
  int i;
  memset(workers, 0, sizeof workers);
  for (i = 0; i < kWorkers; ++i)
    threads[i] = CreateThread(NULL, 0, Worker, &workers[i], 0, NULL);
  WaitForMultipleObjects(kWorkers, threads, TRUE, INFINITE);
  for (i = 0; i < kWorkers; ++i) {
    CloseHandle(threads[i]);
    printf("worker %d: %d %d %d %d %d\n", i, workers[i].closed,
           workers[i].bad_socket, workers[i].bad_error, workers[i].again,
           workers[i].again_error);
  }
}

int main(void) {
  WSADATA data;
  struct sockaddr_in addr, peer;
  int len = sizeof addr, peer_len = sizeof peer;
  DWORD timeout = 200;
  char buf[64];
  SOCKET listener, client, server, refused;
  fd_set readable;
  struct timeval wait = {5, 0};
  int ttl = 33, got = 0, got_len = sizeof got;
  struct hostent *host;
  HANDLE thread;
  static const char kHello[] = "hello, wsock32";
  static const char kReply[] = "0123456789abcdef-reply";

  Report("WSAStartup", WSAStartup(MAKEWORD(1, 1), &data));
  printf("version %d.%d\n", LOBYTE(data.wVersion), HIBYTE(data.wVersion));
  printf("htons 0x%04x htonl 0x%08lx ntohs 0x%04x\n", htons(0x1234),
         (unsigned long)htonl(0x01020304), ntohs(0x3412));
  printf("inet_addr 0x%08lx\n", (unsigned long)inet_addr("127.0.0.1"));
  addr.sin_addr.s_addr = inet_addr("10.1.2.3");
  printf("inet_ntoa %s\n", inet_ntoa(addr.sin_addr));
  WSASetLastError(4242);
  printf("error kept %d\n", WSAGetLastError());

  listener = socket(AF_INET, SOCK_STREAM, 0);
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = inet_addr("127.0.0.1");
  Report("bind", bind(listener, (struct sockaddr *)&addr, sizeof addr));
  Report("listen", listen(listener, 5));
  WSASetLastError(4242);
  Report("getsockname", getsockname(listener, (struct sockaddr *)&addr, &len));
  /* What a successful call leaves in the error code is the library's own
   * business; tracing must not change it. */
  printf("error after success %d\n", WSAGetLastError());

  client = socket(AF_INET, SOCK_STREAM, 0);
  Report("connect", connect(client, (struct sockaddr *)&addr, sizeof addr));
  server = accept(listener, (struct sockaddr *)&peer, &peer_len);
  Report("accept", server == INVALID_SOCKET ? -1 : 0);
  fprintf(stderr, "handles %ld %ld %ld port %d client %d\n", (long)listener,
          (long)client, (long)server, ntohs(addr.sin_port),
          ntohs(peer.sin_port));

  Report("send", send(client, kHello, (int)strlen(kHello), 0));
  FD_ZERO(&readable);
  FD_SET(server, &readable);
  Report("select", select(0, &readable, NULL, NULL, &wait));
  printf("readable %d\n", FD_ISSET(server, &readable) ? 1 : 0);
  memset(buf, 0, sizeof buf);
  Report("recv", recv(server, buf, sizeof buf, 0));
  printf("server got \"%s\"\n", buf);
  Report("send reply", send(server, kReply, (int)strlen(kReply), 0));
  memset(buf, 0, sizeof buf);
  Report("recv reply", recv(client, buf, sizeof buf, 0));
  printf("client got \"%s\"\n", buf);
  /* A receive that waits 200 ms for nothing, for its timed line. */
  Report("setsockopt SO_RCVTIMEO",
         setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, (char *)&timeout,
                    sizeof timeout));
  Report("recv timed out", recv(client, buf, sizeof buf, 0));

  /* The old IP option numbers: IP_TTL is 7 in Windows Sockets 1.1. */
  Report("setsockopt IP_TTL",
         setsockopt(client, IPPROTO_IP, IP_TTL, (char *)&ttl, sizeof ttl));
  Report("getsockopt IP_TTL",
         getsockopt(client, IPPROTO_IP, IP_TTL, (char *)&got, &got_len));
  printf("ttl %d\n", got);

  Report("shutdown", shutdown(client, 1));
  Report("recv end", recv(server, buf, sizeof buf, 0));
  Report("closesocket server", closesocket(server));
  Report("closesocket client", closesocket(client));
  Report("closesocket listener", closesocket(listener));
  Report("closesocket again", closesocket(listener));

  refused = socket(AF_INET, SOCK_STREAM, 0);
  addr.sin_port = htons(1);
  Report("connect refused",
         connect(refused, (struct sockaddr *)&addr, sizeof addr));
  peer_len = sizeof peer;
  Report("getsockname refused",
         getsockname(refused, (struct sockaddr *)&peer, &peer_len));
  Report("closesocket refused", closesocket(refused));
  fprintf(stderr, "refused %ld port %d\n", (long)refused, ntohs(peer.sin_port));

  host = gethostbyname("localhost");
  Report("gethostbyname", host == NULL ? -1 : 0);
  if (host != NULL) {
    memcpy(&addr.sin_addr, host->h_addr_list[0], 4);
    printf("localhost %s\n", inet_ntoa(addr.sin_addr));
  }

  thread = CreateThread(NULL, 0, OtherThread, NULL, 0, NULL);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);

  RunWorkers();

  Report("WSACleanup", WSACleanup());
  printf("done\n");
  return 0;
}
