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
