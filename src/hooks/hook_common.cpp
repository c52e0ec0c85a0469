#include "hooks/hook_common.h"

#include <stdarg.h>

namespace nq {

void WriteCallLine(TraceContext *ctx, const char *format, ...) {
  char text[kTraceFormatSize];
  va_list ap;
  va_start(ap, format);
  size_t n = FormatV(text, sizeof text, format, ap);
  va_end(ap);
  WriteRecord(ctx, TRACE_KIND_CALL, text, n, true);
}

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
