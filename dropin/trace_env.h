// What the drop-ins take from the environment: read once, when they are
// loaded, and applied to each thread on its first socket call.
#ifndef NQ_DROPIN_TRACE_ENV_H
#define NQ_DROPIN_TRACE_ENV_H

#include <stdint.h>
#include <stdlib.h>

namespace nqdrop {

constexpr int kTracePathSize = 256;

struct TraceEnv {
  bool on;                    // false for NETQUILL_TRACE=0, too long a file
  uint32_t flags;             // NETQUILL_FLAGS, 0 when unset or unreadable
  char path[kTracePathSize];  // NETQUILL_FILE; empty: the default path
};

// Parses one flags value: decimal, or hexadecimal after 0x. Anything else
// (empty, a sign, a stray character, more than 32 bits) is refused.
bool ParseFlags(const char *text, uint32_t *flags);

// Reads one environment variable: null when unset. The text need only stay
// valid until the next call.
using EnvReader = char *(*)(const char *name);

// Reads NETQUILL_FILE, NETQUILL_FLAGS and NETQUILL_TRACE through get. A
// file name longer than the library's path field is not cut to another
// file's name: tracing is off instead.
TraceEnv ReadTraceEnv(EnvReader get = getenv);

}  // namespace nqdrop

#endif  // NQ_DROPIN_TRACE_ENV_H
