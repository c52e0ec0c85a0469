// The writer of trace records: each is admitted once, composed in full (on
// the stack, or in the context's scratch buffer where a hook may run on a
// small signal stack, or when long) and handed to the sink in one append.
#include "output/writer.h"

#include <string.h>

#include "core/error_bridge.h"
#include "netquill.h"
#include "output/dump.h"
#include "output/line.h"
#include "output/sink.h"
#include "platform/os.h"

namespace nq {
namespace {

// The clock readings of a text line.
struct Clock {
  uint32_t now;      // tick count: the thread's next line counts from it
  uint32_t elapsed;  // since the thread's last line
  LocalTime local;
};

Clock ReadClock(const TraceContext *ctx) {
  Clock c;
  c.now = g_os.tick_ms();
  // Unsigned difference: a wrap of the counter still gives the true time.
  c.elapsed = c.now - ctx->last_tick;
  g_os.local_time(&c.local, 0);
  return c;
}

// Hands the record of size bytes at out, its line ended, to the sink,
// followed by the dump of what moved (null: none). The elapsed time of the
// thread's next line counts from now when it was written.
int HandOver(TraceContext *ctx, uint32_t now, const char *out, size_t size,
             const DumpOf *dump) {
  int written = dump != nullptr ? WriteDumpPieces(ctx, dump->pieces, dump->n,
                                                  dump->count, out, size)
                                : AppendRecord(ctx, out, size);
  if (written) ctx->last_tick = now;
  return written;
}

// The call line of size bytes at out, whose text starts at text_at, as
// g_call_line_views shows it; out of the hooks' path, which only tests
// the pointer.
__attribute__((noinline)) size_t ShowLineViews(const TraceContext *ctx,
                                               char *out, size_t text_at,
                                               size_t size) {
  // The clock follows the module name and a space.
  return g_call_line_views(out, text_at, strlen(ctx->module_name) + 1, size,
                           kStackRecord);
}

// A record whose text is formatted printf-style straight into its line,
// after the head, rather than formatted apart and copied in. The head
// (under 128 bytes), at most kTraceFormatSize - 1 characters of text, each
// possibly doubled by a line feed, and the tail fit the stack record.
template <bool kCallLine>
void FormatRecord(TraceContext *ctx, const Admission &a, const DumpOf *dump,
                  const char *format, va_list ap) {
  char stack[kSmallHandlerStacks ? 1 : kStackRecord];
  char *out = kSmallHandlerStacks ? ContextScratch(ctx, kStackRecord) : stack;
  if (out == nullptr) return;
  Clock c = ReadClock(ctx);
  char *text = PutLineHead(out, ctx, c.elapsed, c.local, a);
  size_t len = FormatV(text, kTraceFormatSize, format, ap);
  if (len == kTraceFormatSize - 1) len = DropCutEscape(text, len);
  size_t size =
      static_cast<size_t>(PutLineTail(ExpandFeeds(text, len), a) - out);
  if (kCallLine && g_call_line_views != nullptr)
    size = ShowLineViews(ctx, out, static_cast<size_t>(text - out), size);
  HandOver(ctx, c.now, out, size, dump);
}

}  // namespace

CallLineViews g_call_line_views = nullptr;

void TraceCall(TraceContext *ctx, const Admission &a, const DumpOf *dump,
               const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  FormatRecord<true>(ctx, a, dump, format, ap);
  va_end(ap);
}

void TraceFormat(uint32_t kind, const char *format, ...) {
  if (format == nullptr || format[0] == '\0') return;
  TraceContext *ctx = FindContext();
  // Admitted before formatting: a record refused anyway is not formatted.
  Admission a = AdmitRecord(ctx, kind & ~TRACE_KIND_DUMP, LastError());
  if (!a.write) return;
  va_list ap;
  va_start(ap, format);
  FormatRecord<false>(ctx, a, nullptr, format, ap);
  va_end(ap);
}

int WriteRecord(TraceContext *ctx, uint32_t kind, const void *data,
                size_t length, bool length_known) {
  if (data == nullptr) return 0;
  Admission a = AdmitRecord(ctx, kind, LastError());
  if (!a.write) return 0;
  if (kind & TRACE_KIND_DUMP) {
    return WriteDump(ctx, static_cast<const unsigned char *>(data), length);
  }
  const char *text = static_cast<const char *>(data);
  if (!length_known) length = strlen(text);
  Clock c = ReadClock(ctx);
  // Fixed columns: module name, space, clock, space, up to ten elapsed
  // digits, space, tag, " [-2147483648]", CR LF.
  const size_t fixed =
      strlen(ctx->module_name) + 1 + 6 + 1 + 10 + 1 + 5 + 14 + 2;
  // Only a caller's own long record needs more: size it exactly.
  size_t need = fixed + length + CountFeeds(text, length);
  char stack[kSmallHandlerStacks ? 1 : kStackRecord];
  char *out =
      !kSmallHandlerStacks && need <= sizeof stack
          ? stack
          : ContextScratch(ctx, need > kStackRecord ? need : kStackRecord);
  if (out == nullptr) return 0;
  char *p = PutLineHead(out, ctx, c.elapsed, c.local, a);
  memcpy(p, text, length);
  size_t size =
      static_cast<size_t>(PutLineTail(ExpandFeeds(p, length), a) - out);
  return HandOver(ctx, c.now, out, size, nullptr);
}

}  // namespace nq
