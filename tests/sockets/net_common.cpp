#include <string.h>

#include "net.h"

namespace nqnet {

struct sockaddr_in LocalAddress(int port) {
  struct sockaddr_in sin;
  memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  sin.sin_port = htons(static_cast<unsigned short>(port));
  sin.sin_addr.s_addr = htonl(0x7F000001);
  return sin;
}

}  // namespace nqnet
