// The writer of trace records: each is admitted once, composed in full (on
// the stack, or in the context's scratch buffer where a hook may run on a
// small signal stack, or when long) and handed to the sink in one append.
#include "output/writer.h"

#include <string.h>

#include "core/error_bridge.h"
#include "core/thread_state.h"
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

// Ends the line whose n characters of text stand at text, in the record
// that starts at out, and hands the record to the sink, followed by the
// dump of what moved (null: none). The elapsed time of the thread's next
// line counts from this one when it was written.
int FinishRecord(TraceContext *ctx, const Admission &a, const Clock &c,
                 char *out, char *text, size_t n, const DumpOf *dump,
                 const CallNotes *notes = nullptr) {
  char *end = PutLineTail(ExpandFeeds(text, n), a, notes);
  size_t size = static_cast<size_t>(end - out);
  int written = dump != nullptr ? WriteDumpPieces(ctx, dump->pieces, dump->n,
                                                  dump->count, out, size)
                                : AppendRecord(ctx, out, size);
  if (written) ctx->last_tick = c.now;
  return written;
}

// A record whose text is formatted printf-style straight into its line,
// after the head, rather than formatted apart and copied in. The head
// (under 128 bytes), at most kTraceFormatSize - 1 characters of text and
// two socket labels, each character possibly doubled by a line feed, and
// the tail fit the stack record. A call's line (notes) shows what the
// launcher noted of the call.
void FormatRecord(TraceContext *ctx, const Admission &a, const DumpOf *dump,
                  const CallNotes *notes, const char *format, va_list ap) {
  static_assert(
      128 + 2 * (kTraceFormatSize + 2 * kSocketLabelMax) + 64 <= kStackRecord,
      "a call's line fits the stack record");
  char stack[kSmallHandlerStacks ? 1 : kStackRecord];
  char *out = kSmallHandlerStacks ? ContextScratch(ctx, kStackRecord) : stack;
  if (out == nullptr) return;
  Clock c = ReadClock(ctx);
  char *text = PutLineHead(out, ctx, c.elapsed, c.local, a, notes);
  size_t len = FormatV(text, kTraceFormatSize, format, ap);
  if (len == kTraceFormatSize - 1) len = DropCutEscape(text, len);
  if (notes != nullptr && g_socket_label != nullptr)
    len = PutSocketLabels(text, len, kTraceFormatSize + 2 * kSocketLabelMax);
  FinishRecord(ctx, a, c, out, text, len, dump, notes);
}

// The notes on the calling thread's call, left empty for the next one.
CallNotes TakeCallNotes() {
  CallNotes notes = {};
  ThreadState *ts = ThisThread();
  if (ts != nullptr) {
    notes = ts->notes;
    ts->notes = CallNotes{};
  }
  return notes;
}

}  // namespace

void TraceCall(TraceContext *ctx, const Admission &a, const DumpOf *dump,
               const char *format, ...) {
  CallNotes notes = TakeCallNotes();
  va_list ap;
  va_start(ap, format);
  FormatRecord(ctx, a, dump, &notes, format, ap);
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
  FormatRecord(ctx, a, nullptr, nullptr, format, ap);
  va_end(ap);
}

void NoteCallTimes(uint32_t start_second, uint32_t start_micro,
                   uint32_t took_seconds, uint32_t took_micros) {
  ThreadState *ts = ThisThread();
  if (ts == nullptr) return;
  ts->notes.start_second = start_second + 1;
  ts->notes.start_micro = start_micro;
  ts->notes.took_seconds = took_seconds;
  ts->notes.took_micros = took_micros;
}

void ForgetCallNotes() {
  ThreadState *ts = ThisThread();
  if (ts != nullptr) ts->notes = CallNotes{};
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
  return FinishRecord(ctx, a, c, out, p, length, nullptr);
}

}  // namespace nq
