// The bridge to the caller's socket error code.
#ifndef NQ_CORE_ERROR_BRIDGE_H
#define NQ_CORE_ERROR_BRIDGE_H

#include <stdint.h>

#include "core/context.h"
#include "core/thread_state.h"

namespace nq {

// First step of a traced call: fetches the caller's error code and marks
// the calling thread's context (when it has one) with whether the call
// failed. Returns the context so the hook does not look it up again; null
// when the thread has none, and then the code is already handed back.
TraceContext *CaptureCallError(int failed);
// The same for the thread whose state ts is, already reached.
TraceContext *CaptureCallError(ThreadState *ts, int failed);

// Last step: clears the failure mark and hands the saved code back (for a
// context the capture returned; given null it does nothing).
void RestoreCallError(TraceContext *ctx);
void RestoreCallError(ThreadState *ts, TraceContext *ctx);

// The error code that the calling thread's last capture fetched.
int32_t LastError();

}  // namespace nq

#endif
