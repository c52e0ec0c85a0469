#include <errno.h>
#include <sys/ioctl.h>

#include "net.h"

namespace nqnet {

int SetNonBlocking(NQ_SOCKET s, NQ_IOCTLARG *on) {
  // FIONBIO reads an int; on these little-endian hosts its low bytes.
  *on = 1;
  return ioctl(s, FIONBIO, on);
}

long NonBlockingCommand() { return FIONBIO; }

int ConnectionRefusedCode() { return ECONNREFUSED; }

int WouldBlockCode() { return EWOULDBLOCK; }

}  // namespace nqnet
