#include <string.h>

#include "net_shim.h"

struct sockaddr_in NqNetLoopback(int port) {
  struct sockaddr_in sin;
  memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  sin.sin_port = htons((unsigned short)port);
  sin.sin_addr.s_addr = htonl(0x7F000001);
  return sin;
}
