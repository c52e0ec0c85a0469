// Fetching and handing back the caller's socket error code around a record.
#include "control/error_bridge.h"

#include <atomic>

#include "netquill.h"

namespace nq {
namespace {

// The two callbacks are process-wide and read without the lock by every
// hook; atomics keep a concurrent WSASetupTrace from tearing a pointer.
std::atomic<NQ_GET_ERROR> g_get_error;
std::atomic<NQ_SET_ERROR> g_set_error;

// Each thread keeps the code its own capture fetched, so hooks running at
// once on several threads each hand back, and print, their own code.
thread_local int32_t t_last_error;

}  // namespace

TraceContext *CaptureCallError(int failed) {
  TraceContext *ctx = FindContext();
  if (ctx != nullptr) ctx->failed = failed ? 1 : 0;
  NQ_GET_ERROR get = g_get_error.load(std::memory_order_acquire);
  if (get != nullptr) t_last_error = get();
  return ctx;
}

void RestoreCallError(TraceContext *ctx) {
  if (ctx != nullptr) ctx->failed = 0;
  NQ_SET_ERROR set = g_set_error.load(std::memory_order_acquire);
  if (set != nullptr) set(t_last_error);
}

int32_t LastError() { return t_last_error; }

}  // namespace nq

int NQ_CALL WSASetupTrace(const TraceErrorHooks *hooks) {
  // A missing record is not read; the bridge stays as it was, and the call
  // succeeds as every call of it does.
  if (hooks == nullptr) return 1;
  nq::g_get_error.store(hooks->GetError, std::memory_order_release);
  nq::g_set_error.store(hooks->SetError, std::memory_order_release);
  return 1;
}
