/*
 * The Windows Sockets 2 calls the real programs of the tests leave out,
 * one case each, made on loopback by a program that knows nothing of
 * tracing: WSAPoll, WSAEventSelect and WSAEnumNetworkEvents, the reason of
 * a refused non-blocking connect in SO_ERROR, UDP on ::1 through WSASendTo
 * and WSARecvFrom, an overlapped WSARecv with a completion routine, and
 * one completed through GetOverlappedResult, GetAddrInfoExW in the
 * background and WSAConnectByNameW, TransmitFile of a file with head and
 * tail buffers, from the file's position and from an OVERLAPPED's offset,
 * ConnectEx through its WSAIoctl pointer;
 * with "many", more receives pending with a routine than the launcher has
 * room for; with "iocp", "pool" and "bind", the servers of servers.c.
 * Prints
 * each result, which must read the same through netquill-run.
 */
#include <mswsock.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdio.h>
#include <string.h>

#include "probe.h"

static SOCKET listener, client, server;
static DWORD routine_bytes, routine_error;

static void Pair(DWORD flags) {
  struct sockaddr_in addr;
  int len = sizeof addr;
  listener = socket(AF_INET, SOCK_STREAM, 0);
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener, (struct sockaddr *)&addr, sizeof addr);
  listen(listener, 1);
  getsockname(listener, (struct sockaddr *)&addr, &len);
  client = WSASocketW(AF_INET, SOCK_STREAM, 0, NULL, 0, flags);
  connect(client, (struct sockaddr *)&addr, sizeof addr);
  server = accept(listener, NULL, NULL);
}

static void Unpair(void) {
  closesocket(server);
  closesocket(client);
  closesocket(listener);
}

static void Poll(void) {
  WSAPOLLFD fds[2];
  Pair(0);
  send(client, "ping", 4, 0);
  fds[0].fd = server;
  fds[0].events = POLLRDNORM;
  fds[1].fd = client;
  fds[1].events = POLLRDNORM;
  printf("WSAPoll %d", WSAPoll(fds, 2, 5000));
  printf(" %d %d\n", fds[0].revents, fds[1].revents);
  Unpair();
}

static void EventSelect(void) {
  WSAEVENT event = WSACreateEvent();
  WSANETWORKEVENTS events;
  Pair(0);
  printf("WSAEventSelect %d\n",
         WSAEventSelect(client, event, FD_READ | FD_CLOSE));
  send(server, "news", 4, 0);
  printf("WSAWaitForMultipleEvents %lu\n",
         WSAWaitForMultipleEvents(1, &event, FALSE, 5000, FALSE));
  printf("WSAEnumNetworkEvents %d",
         WSAEnumNetworkEvents(client, event, &events));
  printf(" %ld\n", events.lNetworkEvents);
  Unpair();
  WSACloseEvent(event);
}

static void RefusedNonBlocking(void) {
  struct sockaddr_in to;
  u_long on = 1;
  fd_set writable, failed;
  struct timeval wait = {5, 0};
  int error = 0, len = sizeof error;
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons(1);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ioctlsocket(s, FIONBIO, &on);
  printf("connect %d", connect(s, (struct sockaddr *)&to, sizeof to));
  printf(" %d\n", WSAGetLastError());
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(s, &writable);
  FD_SET(s, &failed);
  select(0, NULL, &writable, &failed, &wait);
  printf("getsockopt %d",
         getsockopt(s, SOL_SOCKET, SO_ERROR, (char *)&error, &len));
  printf(" %d %d\n", error, len);
  closesocket(s);
}

static void UdpIpv6(void) {
  struct sockaddr_in6 addr, from;
  int len = sizeof addr, from_len = sizeof from;
  char text[] = "six", buf[16];
  WSABUF out = {3, text}, in = {sizeof buf, buf};
  DWORD sent = 0, received = 0, flags = 0;
  SOCKET s = socket(AF_INET6, SOCK_DGRAM, 0);
  memset(&addr, 0, sizeof addr);
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_loopback;
  bind(s, (struct sockaddr *)&addr, sizeof addr);
  getsockname(s, (struct sockaddr *)&addr, &len);
  printf("WSASendTo %d",
         WSASendTo(s, &out, 1, &sent, 0, (struct sockaddr *)&addr, sizeof addr,
                   NULL, NULL));
  printf(" %lu\n", sent);
  printf("WSARecvFrom %d",
         WSARecvFrom(s, &in, 1, &received, &flags, (struct sockaddr *)&from,
                     &from_len, NULL, NULL));
  printf(" %lu %d %d\n", received, from_len, from.sin6_port == addr.sin6_port);
  closesocket(s);
}

static void CALLBACK Completed(DWORD error, DWORD transferred,
                               LPWSAOVERLAPPED ov, DWORD flags) {
  (void)ov;
  (void)flags;
  routine_error = error;
  routine_bytes = transferred;
}

/* An overlapped WSARecv of text: completed through a routine, also when the
 * bytes came before the call, which then succeeds at once and must tell
 * them once; or through GetOverlappedResult. */
static void Receive(const char *text, int early,
                    LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
  char buf[32];
  WSABUF in = {sizeof buf, buf};
  WSAOVERLAPPED ov;
  DWORD flags = 0, received = 0;
  int result, length = (int)strlen(text);
  Pair(WSA_FLAG_OVERLAPPED);
  memset(&ov, 0, sizeof ov);
  ov.hEvent = routine ? NULL : WSACreateEvent();
  if (early) send(server, text, length, 0), Sleep(50);
  result = WSARecv(client, &in, 1, &received, &flags, &ov, routine);
  printf("WSARecv %d %d\n", result, result ? WSAGetLastError() : 0);
  if (!early) send(server, text, length, 0);
  if (routine) {
    printf("SleepEx %lu", SleepEx(5000, TRUE));
    printf(" %lu %lu\n", routine_error, routine_bytes);
  } else {
    printf("GetOverlappedResult %d",
           GetOverlappedResult((HANDLE)client, &ov, &received, TRUE));
    printf(" %lu\n", received);
    WSACloseEvent(ov.hEvent);
  }
  Unpair();
}

/* The n bytes the peer received, printed with the file's position after
 * the call. */
static void Received(HANDLE file, int n) {
  char got[64];
  int len = 0, r = 1;
  LARGE_INTEGER zero, at;
  zero.QuadPart = 0;
  while (len < n && r > 0) len += r = recv(server, got + len, n - len, 0);
  SetFilePointerEx(file, zero, &at, FILE_CURRENT);
  printf(" %.*s at %ld\n", len, got, (long)at.QuadPart);
}

/* TransmitFile from the file's position, moved to 30 first, then from an
 * OVERLAPPED's offset to the file's end. */
static void Transmit(void) {
  char text[100], head[] = "<head>", tail[] = "<tail>";
  TRANSMIT_FILE_BUFFERS ends = {head, 6, tail, 6};
  WSAOVERLAPPED ov;
  DWORD n = 0;
  int i;
  HANDLE file =
      CreateFileA("transmit.bin", GENERIC_READ | GENERIC_WRITE, 0, NULL,
                  CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, NULL);
  for (i = 0; i < 100; ++i) text[i] = (char)('a' + i % 26);
  WriteFile(file, text, sizeof text, &n, NULL);
  SetFilePointer(file, 30, NULL, FILE_BEGIN);
  Pair(0);
  printf("TransmitFile %d", TransmitFile(client, file, 20, 0, NULL, &ends, 0));
  Received(file, 32);
  Unpair();
  Pair(WSA_FLAG_OVERLAPPED);
  memset(&ov, 0, sizeof ov);
  ov.Offset = 90;
  ov.hEvent = WSACreateEvent();
  i = TransmitFile(client, file, 0, 0, &ov, &ends, 0);
  printf("TransmitFile %d %d\n", i, i ? 0 : WSAGetLastError());
  printf("GetOverlappedResult %d",
         GetOverlappedResult((HANDLE)client, &ov, &n, TRUE));
  printf(" %lu", n);
  Received(file, 22);
  WSACloseEvent(ov.hEvent);
  Unpair();
  CloseHandle(file);
}

/* More receives pending with a routine than the launcher remembers (1,024):
 * each routine of the program still runs once. */
#define kPending 1030
static WSAOVERLAPPED many[kPending];
static char bytes[kPending];
static int routines;

static void CALLBACK Counted(DWORD error, DWORD transferred, LPWSAOVERLAPPED ov,
                             DWORD flags) {
  (void)flags;
  if (error == 0 && transferred == 1 && ov >= many && ov < many + kPending)
    ++routines;
}

static void ManyRoutines(void) {
  static char out[kPending];
  DWORD flags = 0;
  int i, pending = 0;
  Pair(WSA_FLAG_OVERLAPPED);
  for (i = 0; i < kPending; ++i) {
    WSABUF in = {1, bytes + i};
    pending += WSARecv(client, &in, 1, NULL, &flags, many + i, Counted) ==
                   SOCKET_ERROR &&
               WSAGetLastError() == WSA_IO_PENDING;
  }
  memset(out, 'm', sizeof out);
  send(server, out, sizeof out, 0);
  while (routines < kPending && SleepEx(5000, TRUE) == WAIT_IO_COMPLETION) {
  }
  printf("pending %d, routines %d\n", pending, routines);
  Unpair();
}

/* In ws2_32.dll since Windows 8; MinGW's headers lack it. */
int WSAAPI GetAddrInfoExOverlappedResult(LPOVERLAPPED ov);

static HANDLE looked;

static void CALLBACK Looked(DWORD error, DWORD bytes, LPWSAOVERLAPPED ov) {
  (void)bytes, (void)ov;
  routine_error = error;
  SetEvent(looked);
}

/* GetAddrInfoExW in the background, told by a routine (on a pool thread)
 * and by an event; WSAConnectByNameW to a listener. */
static void Lookups(void) {
  ADDRINFOEXW hints, *res[2] = {NULL, NULL};
  OVERLAPPED ov[2];
  struct sockaddr_in local, remote;
  DWORD ll = sizeof local, rl = sizeof remote;
  int i, len = sizeof remote;
  wchar_t port[8];
  SOCKET s;
  memset(&hints, 0, sizeof hints);
  memset(ov, 0, sizeof ov);
  ov[1].hEvent = looked = CreateEventW(NULL, FALSE, FALSE, NULL);
  hints.ai_family = AF_INET6;
  printf("GetAddrInfoExW %d",
         GetAddrInfoExW(L"::1", L"443", NS_ALL, NULL, &hints, res, NULL, ov,
                        Looked, NULL));
  printf(" %lu", WaitForSingleObject(looked, 5000));
  printf(" %lu", routine_error);
  hints.ai_family = AF_INET;
  printf(" %d", GetAddrInfoExW(L"localhost", L"7", NS_ALL, NULL, &hints,
                               res + 1, NULL, ov + 1, NULL, NULL));
  printf(" %lu", WaitForSingleObject(looked, 5000));
  printf(" %d\n", GetAddrInfoExOverlappedResult(ov + 1));
  for (i = 0; i < 2; ++i) FreeAddrInfoExW(res[i]);
  CloseHandle(looked);
  Pair(0);
  getsockname(listener, (struct sockaddr *)&remote, &len);
  swprintf(port, 8, L"%u", ntohs(remote.sin_port));
  s = socket(AF_INET, SOCK_STREAM, 0);
  printf(
      "WSAConnectByNameW %d\n",
      WSAConnectByNameW(s, L"127.0.0.1", port, &ll, (struct sockaddr *)&local,
                        &rl, (struct sockaddr *)&remote, NULL, NULL));
  closesocket(s);
  Unpair();
}

/* ConnectEx as programs reach it: its pointer from WSAIoctl, then a
 * connect that sends its first bytes, completed through
 * GetOverlappedResult. */
static void ConnectByExtension(void) {
  GUID id = WSAID_CONNECTEX;
  LPFN_CONNECTEX connect_ex = NULL;
  struct sockaddr_in addr, any;
  int len = sizeof addr;
  DWORD got = 0, sent = 0;
  OVERLAPPED ov;
  SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, 0, NULL, 0, WSA_FLAG_OVERLAPPED);
  char seen[8] = "";
  BOOL done;
  listener = socket(AF_INET, SOCK_STREAM, 0);
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  any = addr;
  bind(listener, (struct sockaddr *)&addr, sizeof addr);
  listen(listener, 1);
  getsockname(listener, (struct sockaddr *)&addr, &len);
  bind(s, (struct sockaddr *)&any, sizeof any);
  WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &connect_ex,
           sizeof connect_ex, &got, NULL, NULL);
  memset(&ov, 0, sizeof ov);
  ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  done = connect_ex != NULL && (connect_ex(s, (struct sockaddr *)&addr,
                                           sizeof addr, "ext", 3, &sent, &ov) ||
                                WSAGetLastError() == ERROR_IO_PENDING);
  done = done && GetOverlappedResult((HANDLE)s, &ov, &sent, TRUE);
  server = accept(listener, NULL, NULL);
  recv(server, seen, 3, MSG_WAITALL);
  printf("ConnectEx %d %lu %s\n", done, (unsigned long)sent, seen);
  CloseHandle(ov.hEvent);
  closesocket(server);
  closesocket(s);
  closesocket(listener);
}

int ModernCalls(int argc, char **argv) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  if (argc > 1 && strcmp(argv[1], "many") == 0) {
    ManyRoutines();
    return 4;
  }
  if (argc > 1 && strcmp(argv[1], "iocp") == 0) return CompletionPortServer();
  if (argc > 1 && strcmp(argv[1], "pool") == 0) return ThreadPoolServer();
  if (argc > 1 && strcmp(argv[1], "bind") == 0) return BoundServer();
  Poll();
  EventSelect();
  RefusedNonBlocking();
  UdpIpv6();
  Receive("routine", 0, Completed);
  Receive("early", 1, Completed);
  Receive("result", 0, NULL);
  Lookups();
  Transmit();
  ConnectByExtension();
  printf("done\n");
  return 3;
}
