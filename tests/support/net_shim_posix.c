#include <errno.h>
#include <unistd.h>

#include "net_shim.h"

static int NQ_CALL GetErrno(void) { return errno; }

static void NQ_CALL SetErrno(int code) { errno = code; }

void NqNetStartup(void) {}

void NqNetCleanup(void) {}

int NqNetClose(NQ_SOCKET s) { return close(s); }

int NqNetIsInvalid(NQ_SOCKET s) { return s < 0; }

int NqNetLastError(void) { return errno; }

TraceErrorHooks NqNetErrorBridge(void) {
  TraceErrorHooks hooks = {GetErrno, SetErrno};
  return hooks;
}
