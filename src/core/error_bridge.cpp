// Fetching and handing back the caller's socket error code around a record.
#include "core/error_bridge.h"

#include <atomic>

#include "core/thread_state.h"
#include "netquill.h"

namespace nq {
namespace {

// The two callbacks are process-wide and read without the lock by every
// hook; atomics keep a concurrent WSASetupTrace from tearing a pointer.
std::atomic<NQ_GET_ERROR> g_get_error;
std::atomic<NQ_SET_ERROR> g_set_error;

}  // namespace

// Each thread keeps the code its own capture fetched, in its own state, so
// hooks running at once on several threads each hand back, and print, their
// own code. A thread without state (no memory for it) fetches nothing and
// hands nothing back, which leaves the caller's code as it was.
//
// The code is fetched first, before the lookup of the context, whose lock
// and system calls could disturb it. A thread without a context writes
// nothing, so its code is handed back at once and its restore has nothing
// left to do: a hook on such a thread reaches its state only once.
TraceContext *CaptureCallError(int failed) {
  return CaptureCallError(ThisThread(), failed);
}

TraceContext *CaptureCallError(ThreadState *ts, int failed) {
  if (ts == nullptr) return nullptr;
  NQ_GET_ERROR get = g_get_error.load(std::memory_order_acquire);
  if (get != nullptr) ts->last_error = get();
  TraceContext *ctx = FindContextOf(ts);
  if (ctx != nullptr) {
    ctx->failed = failed ? 1 : 0;
    return ctx;
  }
  NQ_SET_ERROR set = g_set_error.load(std::memory_order_acquire);
  if (set != nullptr) set(ts->last_error);
  return nullptr;
}

void RestoreCallError(TraceContext *ctx) {
  if (ctx == nullptr) return;  // handed back by the capture
  RestoreCallError(ThisThread(), ctx);
}

void RestoreCallError(ThreadState *ts, TraceContext *ctx) {
  if (ctx == nullptr) return;
  ctx->failed = 0;
  if (ts == nullptr) return;
  NQ_SET_ERROR set = g_set_error.load(std::memory_order_acquire);
  if (set != nullptr) set(ts->last_error);
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
