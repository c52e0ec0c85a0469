#include <winsock2.h>

#include "net.h"

namespace nqnet {

int SetNonBlocking(NQ_SOCKET s, NQ_IOCTLARG *on) {
  *on = 1;
  return ioctlsocket(s, FIONBIO, on);
}

long NonBlockingCommand() { return static_cast<long>(FIONBIO); }

int ConnectionRefusedCode() { return WSAECONNREFUSED; }

int WouldBlockCode() { return WSAEWOULDBLOCK; }

}  // namespace nqnet
