// What the POSIX platform keeps per thread for itself, beside the block it
// holds for the library: the system's thread id, the lock's depth and the
// last local-time conversion.
#ifndef NQ_PLATFORM_POSIX_THREAD_POSIX_H
#define NQ_PLATFORM_POSIX_THREAD_POSIX_H

// A header of the platform floor: a file below it must not include it.
#if NQ_FLOOR < 1
#error "src/platform/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stdint.h>

#include "platform/os.h"

namespace nq {

// The last local-time conversion: a thread writes many records within one
// second, and converting is far dearer than reading the clock.
struct ClockCache {
  int64_t second;   // the calendar second converted, in the system's unit
  int32_t valid;    // nonzero once a conversion is held
  LocalTime local;  // the conversion
};

struct PlatformThread {
  uint32_t thread_id;   // cached system thread id, 0 until asked
  int32_t lock_depth;   // how deep this thread holds the lock
  int32_t cancel_held;  // its cancellation state while in the library
  uint32_t registered;  // generation of the thread key it registered with
  ClockCache clock;
};

// The calling thread's record; never null, never allocated.
PlatformThread *ThisPlatformThread();

}  // namespace nq

#endif
