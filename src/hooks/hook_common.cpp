#include "hooks/hook_common.h"

namespace nq {

void DumpMoved(TraceContext *ctx, const Moved &moved) {
  if (moved.result < 0) return;
  WriteRecord(ctx, TRACE_KIND_DUMP, moved.buf, MovedCount(moved), true);
}

}  // namespace nq
