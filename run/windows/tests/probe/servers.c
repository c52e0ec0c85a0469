/*
 * The modern scenario's servers of many connections, fed by its own clients:
 * each connection carries records that name it and count up ("07.0042;"), read
 * 7 bytes at a time so that reads split them. "iocp": 12 threads dequeue one
 * completion port, each re-issuing WSARecv at once on the OVERLAPPED it
 * dequeued (half the connections ask for the count, half leave it to the
 * completion). "pool": the receives complete through thread-pool I/O
 * (CreateThreadpoolIo), the callback issuing the next; then a receive that
 * fails at once (CancelThreadpoolIo) and one aborted by its socket's close, its
 * TP_IO closed before its callback ran. "bind": the same through a function
 * bound to each socket (BindIoCompletionCallback). Each prints how many streams
 * arrived whole.
 */
#include <winsock2.h>

#include <stdio.h>
#include <string.h>

#include "probe.h"

#define kMaxConnections 48
#define kRecords 60
#define kRecord 8 /* "07.0042;" */
#define kStream (kRecords * kRecord)
#define kThreads 12

struct Conn {
  WSAOVERLAPPED ov; /* first: the OVERLAPPED dequeued names the connection */
  SOCKET s, client;
  char buf[7];
  char got[kStream];
  int n, index;
  DWORD count; /* where WSARecv writes what it moved, for half of them */
  PTP_IO io;
};

static struct Conn conns[kMaxConnections + 1];
static int connections;
static volatile LONG ended;
static HANDLE all_ended, aborted_seen;
static ULONG aborted_result;

static void Connect(int n) {
  struct sockaddr_in addr;
  int len = sizeof addr, i;
  SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener, (struct sockaddr *)&addr, sizeof addr);
  listen(listener, SOMAXCONN);
  getsockname(listener, (struct sockaddr *)&addr, &len);
  for (i = 0; i < n; ++i) {
    conns[i].index = i;
    conns[i].client = socket(AF_INET, SOCK_STREAM, 0);
    connect(conns[i].client, (struct sockaddr *)&addr, sizeof addr);
    conns[i].s = accept(listener, NULL, NULL);
  }
  closesocket(listener);
  connections = n;
  all_ended = CreateEventW(NULL, TRUE, FALSE, NULL);
}

/* Every stream in rounds of three records each, so that reads find bytes
 * waiting and complete at once, then the end of each. */
static void Feed(int n) {
  char chunk[3 * kRecord + 1];
  int round, i, k;
  for (round = 0; round < kRecords / 3; ++round)
    for (i = 0; i < n; ++i) {
      for (k = 0; k < 3; ++k)
        sprintf(chunk + k * kRecord, "%02d.%04d;", i, round * 3 + k);
      send(conns[i].client, chunk, 3 * kRecord, 0);
    }
  for (i = 0; i < n; ++i) shutdown(conns[i].client, SD_SEND);
}

static int Whole(int n) {
  char want[kStream + 1];
  int i, k, whole = 0;
  for (i = 0; i < n; ++i) {
    for (k = 0; k < kRecords; ++k)
      sprintf(want + k * kRecord, "%02d.%04d;", i, k);
    whole += conns[i].n == kStream && memcmp(conns[i].got, want, kStream) == 0;
  }
  return whole;
}

static int Receive(struct Conn *c) {
  WSABUF in = {sizeof c->buf, c->buf};
  DWORD flags = 0;
  memset(&c->ov, 0, sizeof c->ov);
  return WSARecv(c->s, &in, 1, c->index % 2 ? NULL : &c->count, &flags, &c->ov,
                 NULL) == 0 ||
         WSAGetLastError() == WSA_IO_PENDING;
}

/* Keeps what a receive moved; false at the stream's end or a failure. */
static int Kept(struct Conn *c, BOOL ok, DWORD n) {
  if (!ok || n == 0 || c->n + (int)n > kStream) return 0;
  memcpy(c->got + c->n, c->buf, n);
  c->n += n;
  return 1;
}

static void Ended(void) {
  if (InterlockedIncrement(&ended) == connections) SetEvent(all_ended);
}

static DWORD WINAPI Dequeue(void *port) {
  for (;;) {
    DWORD n = 0;
    ULONG_PTR key;
    OVERLAPPED *ov = NULL;
    BOOL ok = GetQueuedCompletionStatus(port, &n, &key, &ov, INFINITE);
    struct Conn *c = (struct Conn *)ov;
    if (c == NULL) return 0;
    if (!Kept(c, ok, n) || !Receive(c)) Ended();
  }
}

int CompletionPortServer(void) {
  HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, NULL, 0, 0);
  HANDLE threads[kThreads];
  int i;
  Connect(kMaxConnections);
  for (i = 0; i < kThreads; ++i)
    threads[i] = CreateThread(NULL, 0, Dequeue, port, 0, NULL);
  for (i = 0; i < connections; ++i) {
    CreateIoCompletionPort((HANDLE)conns[i].s, port, 0, 0);
    if (!Receive(&conns[i])) Ended();
  }
  Feed(connections);
  WaitForSingleObject(all_ended, 30000);
  for (i = 0; i < kThreads; ++i) PostQueuedCompletionStatus(port, 0, 0, NULL);
  WaitForMultipleObjects(kThreads, threads, TRUE, 30000);
  for (i = 0; i < connections; ++i) {
    closesocket(conns[i].s);
    closesocket(conns[i].client);
  }
  printf("iocp %d of %d streams whole\n", Whole(connections), connections);
  return 5;
}

#define kPoolConnections 8

static int PoolReceive(struct Conn *c) {
  StartThreadpoolIo(c->io);
  if (Receive(c)) return 1;
  CancelThreadpoolIo(c->io);
  return 0;
}

static VOID CALLBACK PoolReceived(PTP_CALLBACK_INSTANCE instance, PVOID context,
                                  PVOID ov, ULONG result, ULONG_PTR n,
                                  PTP_IO io) {
  struct Conn *c = context;
  (void)instance;
  if (ov != &c->ov || io != c->io) return; /* not what was asked for */
  if (c->index == kPoolConnections) {
    aborted_result = result;
    SetEvent(aborted_seen);
  } else if (!Kept(c, result == 0, (DWORD)n) || !PoolReceive(c)) {
    Ended();
  }
}

int ThreadPoolServer(void) {
  struct Conn *aborted = &conns[kPoolConnections];
  int i, cancelled;
  Connect(kPoolConnections + 1);
  connections = kPoolConnections;
  aborted_seen = CreateEventW(NULL, TRUE, FALSE, NULL);
  for (i = 0; i <= kPoolConnections; ++i)
    conns[i].io =
        CreateThreadpoolIo((HANDLE)conns[i].s, PoolReceived, &conns[i], NULL);
  for (i = 0; i < kPoolConnections; ++i)
    if (!PoolReceive(&conns[i])) Ended();
  Feed(kPoolConnections);
  WaitForSingleObject(all_ended, 30000);
  /* Refused at once: no callback comes, the TP_IO is told so. */
  closesocket(conns[0].s);
  cancelled = PoolReceive(&conns[0]) ? 0 : WSAGetLastError();
  for (i = 0; i < kPoolConnections; ++i) {
    if (i != 0) closesocket(conns[i].s);
    closesocket(conns[i].client);
    CloseThreadpoolIo(conns[i].io);
  }
  /* Aborted by its close, the TP_IO closed before its callback ran. */
  PoolReceive(aborted);
  closesocket(aborted->s);
  CloseThreadpoolIo(aborted->io);
  WaitForSingleObject(aborted_seen, 30000);
  closesocket(aborted->client);
  printf("pool %d of %d streams whole, cancelled %d, aborted %lu\n",
         Whole(kPoolConnections), kPoolConnections, cancelled, aborted_result);
  return 6;
}

static VOID CALLBACK Bound(DWORD error, DWORD n, LPOVERLAPPED ov) {
  struct Conn *c = (struct Conn *)ov;
  if (!Kept(c, error == 0, n) || !Receive(c)) Ended();
}

int BoundServer(void) {
  int i;
  Connect(kPoolConnections);
  for (i = 0; i < connections; ++i)
    if (!BindIoCompletionCallback((HANDLE)conns[i].s, Bound, 0) ||
        !Receive(&conns[i]))
      Ended();
  Feed(connections);
  WaitForSingleObject(all_ended, 30000);
  for (i = 0; i < connections; ++i) {
    closesocket(conns[i].s);
    closesocket(conns[i].client);
  }
  printf("bind %d of %d streams whole\n", Whole(connections), connections);
  return 7;
}
