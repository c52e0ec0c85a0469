// What the drop-ins take from the environment: read once, when they are
// loaded, and applied to each thread on its first socket call.
#ifndef NQ_DROPIN_TRACE_ENV_H
#define NQ_DROPIN_TRACE_ENV_H

#include <stdint.h>

namespace nqdrop {

constexpr int kTracePathSize = 256;

struct TraceEnv {
  bool on;                    // false only for NETQUILL_TRACE=0
  uint32_t flags;             // NETQUILL_FLAGS, 0 when unset or unreadable
  char path[kTracePathSize];  // NETQUILL_FILE; empty: the default path
};

// Parses one flags value: decimal, or hexadecimal after 0x. Anything else
// (empty, a sign, a stray character, more than 32 bits) is refused.
bool ParseFlags(const char *text, uint32_t *flags);

// Reads NETQUILL_FILE, NETQUILL_FLAGS and NETQUILL_TRACE.
TraceEnv ReadTraceEnv();

}  // namespace nqdrop

#endif  // NQ_DROPIN_TRACE_ENV_H
