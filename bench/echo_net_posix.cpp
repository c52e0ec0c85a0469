#include <netinet/in.h>
#include <netinet/tcp.h>

#include "echo_net.h"

namespace echo {

int TcpLevel() { return IPPROTO_TCP; }
int NoDelayOption() { return TCP_NODELAY; }

}  // namespace echo
