#include "hooks/hook_common.h"

#include "output/dump.h"

namespace nq {

EscapedText Escape(const char *s, size_t max) {
  EscapedText e;
  PutEscaped(e.text, sizeof e.text, s ? s : "(null)", max);
  return e;
}

bool EnterCall(int failed) {
  ThreadState *ts = EnterLibrary();
  if (ts == nullptr) return false;
  if (CaptureCallError(ts, failed) != nullptr) return true;
  LeaveLibrary(ts);
  return false;
}

void LeaveCall() {
  ThreadState *ts = ThisThread();
  RestoreCallError(ts, ts->context);
  LeaveLibrary(ts);
}

void DumpOnly(TraceContext *ctx, const void *data, size_t count) {
  WriteDump(ctx, static_cast<const unsigned char *>(data), count);
}

}  // namespace nq
