#include "hooks/hook_common.h"

namespace nq {

size_t (*g_shown_address)(const void *p) = nullptr;

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

}  // namespace nq
