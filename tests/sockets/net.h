// What the socket tests need beyond the shim (support/net_shim.h): the
// loopback address, non-blocking mode and the codes a failure leaves.
#ifndef NQ_TESTS_SOCKETS_NET_H
#define NQ_TESTS_SOCKETS_NET_H

#include "netquill.h"
#include "support/net_shim.h"

namespace nqnet {

// 127.0.0.1 at port (0: any port), and the same as the calls take it.
struct sockaddr_in LocalAddress(int port);

inline struct sockaddr *Sa(struct sockaddr_in *sin) {
  return reinterpret_cast<struct sockaddr *>(sin);
}

// ioctlsocket or ioctl with FIONBIO and *on = 1; the call's own result.
int SetNonBlocking(NQ_SOCKET s, NQ_IOCTLARG *on);

// The command SetNonBlocking passes, as TX_ioctlsocket takes it.
long NonBlockingCommand();

// The codes a refused connect and an empty non-blocking receive leave.
int ConnectionRefusedCode();
int WouldBlockCode();

}  // namespace nqnet

#endif
