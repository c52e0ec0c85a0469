#include "hooks/hook_common.h"

namespace nq {

void DumpMoved(TraceContext *ctx, const void *buf, long long len,
               long long result) {
  // A result the socket call never returns must not send the dump past the
  // caller's buffer: below zero there is nothing to show, above len only
  // the buffer itself is the caller's.
  if (result < 0) return;
  if (len < 0) len = 0;
  long long count = result < len ? result : len;
  WriteRecord(ctx, TRACE_KIND_DUMP, buf, static_cast<size_t>(count), true);
}

}  // namespace nq
