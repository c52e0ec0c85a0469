// The mark of a thread that runs inside the library. A get-error or
// set-error callback of a running hook, or a signal handler that interrupts
// the thread, may call back into the library on the same thread; what it
// calls then must not touch what the running call uses (its context, its
// record buffer, the lock it may be taking), so hooks pass through and
// control calls that would free or replace those refuse.
#ifndef NQ_CORE_REENTRY_H
#define NQ_CORE_REENTRY_H

// A header of the core floor: a file below it must not include it.
#if NQ_FLOOR < 2
#error "src/core/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <atomic>

#include "core/thread_state.h"
#include "platform/os.h"

namespace nq {

// Whether ts's thread is inside the library already.
inline bool InsideLibrary(const ThreadState *ts) {
  return ts != nullptr && ts->in_library != 0;
}

// Marks the calling thread as inside the library and returns its state;
// null when it is inside already, or has no state (and then traces
// nothing), so the caller does nothing. Cancellation waits while a thread
// is inside: a record's file calls are no cancellation points the program
// made. The fences keep the compiler from
// moving the mark past the work it guards, as seen from a signal handler.
inline ThreadState *EnterLibrary() {
  ThreadState *ts = ThisThread();
  if (ts == nullptr || ts->in_library != 0) return nullptr;
  ts->in_library = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  CancelHold();
  return ts;
}

inline void LeaveLibrary(ThreadState *ts) {
  CancelResume();
  std::atomic_signal_fence(std::memory_order_seq_cst);
  ts->in_library = 0;
}

}  // namespace nq

#endif
