#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include "echo_net.h"

namespace echo {
namespace {

int NQ_CALL GetErrno() { return errno; }
void NQ_CALL SetErrno(int code) { errno = code; }

}  // namespace

void Startup() {}
int CloseSocket(NQ_SOCKET s) { return close(s); }
bool IsInvalid(NQ_SOCKET s) { return s < 0; }
int TcpLevel() { return IPPROTO_TCP; }
int NoDelayOption() { return TCP_NODELAY; }
int LastError() { return errno; }
TraceErrorHooks ErrorBridge() { return TraceErrorHooks{GetErrno, SetErrno}; }

}  // namespace echo
