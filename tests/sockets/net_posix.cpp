#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "net.h"

namespace nqnet {
namespace {

int GetErrno() { return errno; }

void SetErrno(int code) { errno = code; }

}  // namespace

void Startup() {}

void Cleanup() {}

int CloseSocket(NQ_SOCKET s) { return close(s); }

int SetNonBlocking(NQ_SOCKET s, NQ_IOCTLARG *on) {
  // FIONBIO reads an int; on these little-endian hosts its low bytes.
  *on = 1;
  return ioctl(s, FIONBIO, on);
}

long NonBlockingCommand() { return FIONBIO; }

bool IsInvalid(NQ_SOCKET s) { return s < 0; }

int ConnectionRefusedCode() { return ECONNREFUSED; }

int WouldBlockCode() { return EWOULDBLOCK; }

TraceErrorHooks ErrorBridge() { return TraceErrorHooks{GetErrno, SetErrno}; }

int LastSocketError() { return errno; }

}  // namespace nqnet
