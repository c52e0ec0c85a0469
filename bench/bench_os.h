// What the benchmarks ask of the system that differs between platforms:
// the floor of a written record, and the caller's error code as a traced
// program hands it to the library.
#ifndef NQ_BENCH_BENCH_OS_H
#define NQ_BENCH_BENCH_OS_H

#include <stddef.h>

#include "netquill.h"

namespace nqb {

// Opens path for appending (created if missing, shared with other writers),
// writes size bytes in one call and closes it: what any record costs at
// least. Returns 1 when every byte was written.
int FloorAppend(const char *path, const void *data, size_t size);

// The error callbacks of a real program: the code the socket calls leave,
// the last error on Windows (what WSAGetLastError and WSASetLastError
// read and write), errno elsewhere. A thread_local of the harness's own
// would add its cost, emulated TLS in the Windows build, to every hook.
int NQ_CALL CallerCode();
void NQ_CALL SetCallerCode(int code);

// The goals of this platform's build for the two figures the system shapes
// most: a hook on a thread without a context, and a written record over its
// open+append+close floor (under Wine every file call is a round trip to
// its server, the floor included).
struct PlatformGoals {
  double no_context_ns;
  double written_ratio;
};
extern const PlatformGoals kPlatformGoals;

}  // namespace nqb

#endif
