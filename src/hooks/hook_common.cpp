#include "hooks/hook_common.h"

namespace nq {

void DumpMoved(TraceContext *ctx, const Moved &moved) {
  // A result the socket call never returns must not send the dump past the
  // caller's buffer: below zero there is nothing to show, above len only
  // the buffer itself is the caller's.
  if (moved.result < 0) return;
  long long len = moved.len < 0 ? 0 : moved.len;
  long long count = moved.result < len ? moved.result : len;
  WriteRecord(ctx, TRACE_KIND_DUMP, moved.buf, static_cast<size_t>(count),
              true);
}

}  // namespace nq
