// Everything the library keeps per thread, in one record laid over the
// thread's block of the platform. The library uses no other per-thread
// storage, so the platform decides alone how a thread's block is found,
// and gives it back when the thread ends.
#ifndef NQ_CORE_THREAD_STATE_H
#define NQ_CORE_THREAD_STATE_H

// A header of the core floor: a file below it must not include it.
#if NQ_FLOOR < 2
#error "src/core/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stddef.h>
#include <stdint.h>

#include "platform/thread.h"

namespace nq {

struct TraceContext;

// What a launcher knows of the call whose line this thread writes next and
// its arguments do not say: when it started and how long it took. The line
// takes it and leaves it empty.
struct CallNotes {
  uint32_t start_second;  // the second of the local day it started in, plus
                          // one; 0: the call was not timed
  uint32_t start_micro;   // and the microsecond in that second
  uint32_t took_seconds;  // the time it took
  uint32_t took_micros;   // below a second
};

struct alignas(8) ThreadState {
  int32_t last_error;     // error code fetched by this thread's last capture
  int32_t in_library;     // nonzero while the thread runs inside the library
  TraceContext *context;  // this thread's context as last found, or null
  uint32_t scanned_id;    // thread id of the last scan of the table
  uint32_t scanned_generation;  // table generation that scan saw
  uint32_t issue_stamp;         // the launcher's overlapped calls begun, as the
                                // thread's last one began
  CallNotes notes;              // for the thread's next call line
};

// Sets up every thread's state, with texts_size bytes after it that the
// floors above lay out themselves (the value formatters' texts): they
// state what they need, and the platform's block holds both. False when
// the library cannot load.
inline bool ThreadStatesCreate(size_t texts_size, ThreadEndNotice on_end) {
  return ThreadBlocksCreate(sizeof(ThreadState) + texts_size, on_end);
}

// The calling thread's state, zero on its first call. Null only when no
// memory can be had for it; a thread without state traces nothing and
// leaves the caller's error code alone. Leaves the system error state
// (GetLastError, errno) as it found it.
inline ThreadState *ThisThread() {
  return static_cast<ThreadState *>(ThisThreadBlock());
}

// The texts_size bytes that follow ts, zero with it.
inline void *ThreadTexts(ThreadState *ts) { return ts + 1; }

// Forgets the calling thread's state; a later call on the same thread
// starts from a zeroed one. Leaves the system error state as it was.
inline void ReleaseThisThread() { ReleaseThisThreadBlock(); }

}  // namespace nq

#endif
