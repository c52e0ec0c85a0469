// Fetching and handing back the caller's socket error code around a record.
#include "core/error_bridge.h"

#include <atomic>

#include "core/thread_state.h"
#include "netquill.h"

namespace nq {

std::atomic<NQ_GET_ERROR> g_get_error;
std::atomic<NQ_SET_ERROR> g_set_error;

// Each thread keeps the code its own capture fetched, in its own state, so
// hooks running at once on several threads each hand back, and print, their
// own code.
TraceContext *CaptureCallError(int failed) {
  ThreadState *ts = ThisThread();
  return ts ? CaptureCallError(ts, failed) : nullptr;
}

void RestoreCallError(TraceContext *ctx) {
  if (ctx == nullptr) return;  // handed back by the capture
  RestoreCallError(ThisThread(), ctx);
}

int32_t LastError() {
  ThreadState *ts = ThisThread();
  return ts ? ts->last_error : 0;
}

}  // namespace nq
