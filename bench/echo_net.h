// The TCP option the echo workload sets, whose header differs between POSIX
// and Windows; the rest is the shared socket shim (net_shim.h).
#ifndef NQ_BENCH_ECHO_NET_H
#define NQ_BENCH_ECHO_NET_H

#include "net_shim.h"

namespace echo {

int TcpLevel();
int NoDelayOption();

}  // namespace echo

#endif  // NQ_BENCH_ECHO_NET_H
