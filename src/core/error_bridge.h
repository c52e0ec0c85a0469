// The bridge to the caller's socket error code.
#ifndef NQ_CORE_ERROR_BRIDGE_H
#define NQ_CORE_ERROR_BRIDGE_H

// A header of the core floor: a file below it must not include it.
#if NQ_FLOOR < 2
#error "src/core/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stdint.h>

#include <atomic>

#include "core/context.h"
#include "core/thread_state.h"
#include "netquill.h"

namespace nq {

// The caller's two callbacks: process-wide and read without the lock by
// every hook; atomics keep a concurrent WSASetupTrace from tearing a
// pointer.
extern std::atomic<NQ_GET_ERROR> g_get_error;
extern std::atomic<NQ_SET_ERROR> g_set_error;

// Hands the code saved in ts back through the set-error callback, if any.
inline void HandBackError(const ThreadState *ts) {
  NQ_SET_ERROR set = g_set_error.load(std::memory_order_acquire);
  if (set != nullptr) set(ts->last_error);
}

// First step of a traced call, for the thread whose state ts is: fetches
// the caller's error code and marks the thread's context (when it has one)
// with whether the call failed. Returns the context so the hook does not
// look it up again; null when the thread has none, and then the code is
// already handed back.
//
// The code is fetched first, before the lookup of the context, whose lock
// and system calls could disturb it. A thread without a context writes
// nothing, so its code is handed back at once and its restore has nothing
// left to do. Inline: this is the whole of a hook on a thread that does
// not trace while others do.
inline TraceContext *CaptureCallError(ThreadState *ts, int failed) {
  NQ_GET_ERROR get = g_get_error.load(std::memory_order_acquire);
  if (get != nullptr) ts->last_error = get();
  TraceContext *ctx = FindContextOf(ts);
  if (ctx != nullptr) {
    ctx->failed = failed ? 1 : 0;
    return ctx;
  }
  HandBackError(ts);
  return nullptr;
}

// The same for the calling thread; a thread without state (no memory for
// it) fetches nothing and hands nothing back, which leaves the caller's
// code as it was.
TraceContext *CaptureCallError(int failed);

// Last step: clears the failure mark and hands the saved code back (for a
// context the capture returned; given null it does nothing).
inline void RestoreCallError(ThreadState *ts, TraceContext *ctx) {
  if (ctx == nullptr) return;
  ctx->failed = 0;
  if (ts != nullptr) HandBackError(ts);
}
void RestoreCallError(TraceContext *ctx);

// The error code that the calling thread's last capture fetched.
int32_t LastError();

}  // namespace nq

#endif
