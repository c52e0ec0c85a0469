#include "echo_net.h"

namespace echo {

void Startup() {
  WSADATA data;
  WSAStartup(MAKEWORD(1, 1), &data);
}

int CloseSocket(NQ_SOCKET s) { return closesocket(s); }
bool IsInvalid(NQ_SOCKET s) { return s == INVALID_SOCKET; }
int TcpLevel() { return IPPROTO_TCP; }
int NoDelayOption() { return TCP_NODELAY; }
int LastError() { return WSAGetLastError(); }
TraceErrorHooks ErrorBridge() {
  return TraceErrorHooks{WSAGetLastError, WSASetLastError};
}

}  // namespace echo
