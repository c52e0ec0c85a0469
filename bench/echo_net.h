// What the echo workload needs that differs between POSIX and Windows.
#ifndef NQ_BENCH_ECHO_NET_H
#define NQ_BENCH_ECHO_NET_H

#include "netquill.h"

namespace echo {

void Startup();
int CloseSocket(NQ_SOCKET s);
bool IsInvalid(NQ_SOCKET s);
int TcpLevel();
int NoDelayOption();
int LastError();
// The accessors of the socket error code, for WSASetupTrace.
TraceErrorHooks ErrorBridge();

}  // namespace echo

#endif  // NQ_BENCH_ECHO_NET_H
