// The little that differs between Winsock and POSIX sockets in the tests:
// start-up, closing, non-blocking mode and the error-code accessors.
#ifndef NQ_TESTS_SOCKETS_NET_H
#define NQ_TESTS_SOCKETS_NET_H

#include "netquill.h"

namespace nqnet {

// 127.0.0.1 at port (0: any port), and the same as the calls take it.
struct sockaddr_in LocalAddress(int port);

inline struct sockaddr *Sa(struct sockaddr_in *sin) {
  return reinterpret_cast<struct sockaddr *>(sin);
}

void Startup();
void Cleanup();

// closesocket or close; the socket call's own result.
int CloseSocket(NQ_SOCKET s);

// ioctlsocket or ioctl with FIONBIO and *on = 1; the call's own result.
int SetNonBlocking(NQ_SOCKET s, NQ_IOCTLARG *on);

// The command SetNonBlocking passes, as TX_ioctlsocket takes it.
long NonBlockingCommand();

bool IsInvalid(NQ_SOCKET s);

// The codes a refused connect and an empty non-blocking receive leave.
int ConnectionRefusedCode();
int WouldBlockCode();

// Callbacks that read and set the caller's socket error code: on Windows
// WSAGetLastError and WSASetLastError themselves.
TraceErrorHooks ErrorBridge();

// The caller's socket error code right now.
int LastSocketError();

}  // namespace nqnet

#endif
