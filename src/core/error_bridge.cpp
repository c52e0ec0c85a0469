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

int NQ_CALL WSASetupTrace(const TraceErrorHooks *hooks) {
  // A missing record is not read; the bridge stays as it was, and the call
  // succeeds as every call of it does.
  if (hooks == nullptr) return 1;
  nq::g_get_error.store(hooks->GetError, std::memory_order_release);
  nq::g_set_error.store(hooks->SetError, std::memory_order_release);
  return 1;
}
