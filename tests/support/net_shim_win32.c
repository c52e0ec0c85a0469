#include <stdlib.h>

#include "net_shim.h"

void NqNetStartup(void) {
  WSADATA data;
  WSAStartup(MAKEWORD(1, 1), &data);
}

void NqNetCleanup(void) { WSACleanup(); }

int NqNetClose(NQ_SOCKET s) { return closesocket(s); }

int NqNetIsInvalid(NQ_SOCKET s) { return s == INVALID_SOCKET; }

int NqNetLastError(void) { return WSAGetLastError(); }

/* The socket library's own functions fit the callbacks as they are. */
TraceErrorHooks NqNetErrorBridge(void) {
  TraceErrorHooks hooks = {WSAGetLastError, WSASetLastError};
  return hooks;
}

int NqNetRefusedCode(void) { return WSAECONNREFUSED; }

int NqNetWouldBlockCode(void) { return WSAEWOULDBLOCK; }

int NqNetSetNonBlocking(NQ_SOCKET s, NQ_IOCTLARG *on) {
  *on = 1;
  return ioctlsocket(s, FIONBIO, on);
}

long NqNetNonBlockingCommand(void) { return (long)FIONBIO; }

int NqNetNoDelayOption(void) { return TCP_NODELAY; }

struct NqThread {
  HANDLE handle;
  NqThreadFn fn;
  void *arg;
};

static DWORD WINAPI Run(LPVOID self) {
  NqThread *t = self;
  t->fn(t->arg);
  return 0;
}

NqThread *NqThreadStart(NqThreadFn fn, void *arg) {
  NqThread *t = malloc(sizeof *t);
  t->fn = fn;
  t->arg = arg;
  t->handle = CreateThread(NULL, 0, Run, t, 0, NULL);
  return t;
}

void NqThreadJoin(NqThread *t) {
  WaitForSingleObject(t->handle, INFINITE);
  CloseHandle(t->handle);
  free(t);
}

void NqSleepMs(int ms) { Sleep((DWORD)ms); }
