#include <winsock2.h>

#include "net.h"

namespace nqnet {

void Startup() {
  WSADATA data;
  WSAStartup(MAKEWORD(1, 1), &data);
}

void Cleanup() { WSACleanup(); }

int CloseSocket(NQ_SOCKET s) { return closesocket(s); }

int SetNonBlocking(NQ_SOCKET s, NQ_IOCTLARG *on) {
  *on = 1;
  return ioctlsocket(s, FIONBIO, on);
}

long NonBlockingCommand() { return static_cast<long>(FIONBIO); }

bool IsInvalid(NQ_SOCKET s) { return s == INVALID_SOCKET; }

int ConnectionRefusedCode() { return WSAECONNREFUSED; }

int WouldBlockCode() { return WSAEWOULDBLOCK; }

// The socket library's own functions fit the callbacks as they are.
TraceErrorHooks ErrorBridge() {
  return TraceErrorHooks{WSAGetLastError, WSASetLastError};
}

int LastSocketError() { return WSAGetLastError(); }

}  // namespace nqnet
