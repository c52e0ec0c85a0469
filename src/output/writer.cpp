// The writer of trace records: admission, the text lines, and the
// exported entry. Every record is composed in full and handed to the system
// in one append, so records of other threads and processes can never land
// inside it.
#include "output/writer.h"

#include <string.h>

#include "core/admission.h"
#include "core/error_bridge.h"
#include "core/reentry.h"
#include "netquill.h"
#include "output/digits.h"
#include "output/dump.h"
#include "platform/os.h"

namespace nq {
namespace {

constexpr size_t kStackRecord = 4096;  // covers every call line

// Writes value in decimal with at least min_digits (at most 10) digits;
// returns the end.
char *PutDecimal(char *p, uint32_t value, int min_digits) {
  char tmp[10];
  char *end = tmp + sizeof tmp;
  char *q = end;
  while (value >= 100) {
    q -= 2;
    memcpy(q, kDigits.pair[value % 100], 2);
    value /= 100;
  }
  if (value >= 10) {
    q -= 2;
    memcpy(q, kDigits.pair[value], 2);
  } else {
    *--q = static_cast<char>('0' + value);
  }
  while (end - q < min_digits) *--q = '0';
  size_t n = static_cast<size_t>(end - q);
  memcpy(p, q, n);
  return p + n;
}

// Two digits of a clock field (0 to 99).
char *PutTwoDigits(char *p, uint32_t value) {
  if (value > 99) return PutDecimal(p, value, 2);
  memcpy(p, kDigits.pair[value], 2);
  return p + 2;
}

char *PutSigned(char *p, int32_t value) {
  if (value < 0) {
    *p++ = '-';
    return PutDecimal(p, 0u - static_cast<uint32_t>(value), 1);
  }
  return PutDecimal(p, static_cast<uint32_t>(value), 1);
}

uint32_t ClockField(int v) { return v < 0 ? 0u : static_cast<uint32_t>(v); }

// The columns before a text record's text: module name, clock, elapsed
// time and tag. Returns the end.
char *PutTextHead(char *p, const TraceContext *ctx, uint32_t elapsed,
                  const LocalTime &clock, bool warning) {
  size_t module_len = strlen(ctx->module_name);
  memcpy(p, ctx->module_name, module_len);
  p += module_len;
  *p++ = ' ';
  p = PutTwoDigits(p, ClockField(clock.hour));
  p = PutTwoDigits(p, ClockField(clock.minute));
  p = PutTwoDigits(p, ClockField(clock.second));
  *p++ = ' ';
  p = PutDecimal(p, elapsed, 4);
  *p++ = ' ';
  const char *tag = warning ? "WRN: " : ctx->failed ? "ERR: " : "INF: ";
  memcpy(p, tag, 5);
  return p + 5;
}

// The columns after it: the error code of errors and warnings, and the
// line's end.
char *PutTextTail(char *p, const TraceContext *ctx, bool warning,
                  int32_t code) {
  if (ctx->failed || warning) {
    *p++ = ' ';
    *p++ = '[';
    p = PutSigned(p, code);
    *p++ = ']';
  }
  *p++ = '\r';
  *p++ = '\n';
  return p;
}

// Appends the line from out to end; the elapsed time of the thread's next
// line counts from now on when it was written.
int AppendText(TraceContext *ctx, const char *out, const char *end,
               uint32_t now) {
  if (!AppendRecord(ctx, out, static_cast<size_t>(end - out))) return 0;
  ctx->last_tick = now;
  return 1;
}

int WriteText(TraceContext *ctx, const char *text, size_t length, bool warning,
              int32_t code) {
  uint32_t now = g_os.tick_ms();
  // Unsigned difference: a wrap of the counter still gives the true time.
  uint32_t elapsed = now - ctx->last_tick;
  LocalTime clock;
  g_os.local_time(&clock, 0);

  // Fixed columns: module name, space, clock, space, up to ten elapsed
  // digits, space, tag, " [-2147483648]", CR LF.
  const size_t fixed =
      strlen(ctx->module_name) + 1 + 6 + 1 + 10 + 1 + 5 + 14 + 2;
  char stack[kStackRecord];
  char *out = stack;
  if (length > (kStackRecord - fixed) / 2) {
    // Only a caller's own long record gets here: size it exactly.
    size_t feeds = 0;
    for (size_t i = 0; i < length; ++i) feeds += text[i] == '\n';
    out = ContextScratch(ctx, fixed + length + feeds);
    if (out == nullptr) return 0;
  }

  char *p = PutTextHead(out, ctx, elapsed, clock, warning);
  // Line feeds inside the text are stored as CR LF like every other one.
  const char *src = text;
  const char *end = text + length;
  while (src < end) {
    const char *feed = static_cast<const char *>(memchr(src, '\n', end - src));
    size_t run = feed ? static_cast<size_t>(feed - src) : end - src;
    memcpy(p, src, run);
    p += run;
    src += run;
    if (feed) {
      *p++ = '\r';
      *p++ = '\n';
      ++src;
    }
  }
  return AppendText(ctx, out, PutTextTail(p, ctx, warning, code), now);
}

// Turns each line feed among the n characters at text into CR LF, in
// place; the room after them must hold one more character per feed.
// Returns the end.
char *ExpandFeeds(char *text, size_t n) {
  char *end = text + n;
  size_t feeds = 0;
  for (char *q = text; (q = static_cast<char *>(memchr(q, '\n', end - q)));
       ++q) {
    ++feeds;
  }
  if (feeds == 0) return end;
  char *src = end;
  char *dst = end + feeds;
  while (src > text) {
    char c = *--src;
    *--dst = c;
    if (c == '\n') *--dst = '\r';
  }
  return end + feeds;
}

// Admits a record of kind on ctx under the thread's flags and the code its
// capture fetched, which goes to *code, with the record's severity in
// *warning. A record let through takes its failure mark from the rule:
// without the warnings flag a warning is no failure, for the rest of the
// call.
bool AdmitRecord(TraceContext *ctx, uint32_t kind, int32_t *code,
                 bool *warning) {
  if (ctx == nullptr || ctx->path[0] == '\0') return false;
  *code = LastError();
  Admission admission = Admit(ctx->flags, kind, ctx->failed != 0, *code);
  if (!admission.write) return false;
  ctx->failed = admission.failed ? 1 : 0;
  *warning = admission.warning;
  return true;
}

}  // namespace

int AppendRecord(const TraceContext *ctx, const void *data, size_t size) {
  return (ctx->default_path ? g_os.append_owned : g_os.append)(ctx->path, data,
                                                               size);
}

bool WouldWrite(const TraceContext *ctx, uint32_t kind) {
  if (ctx == nullptr || ctx->path[0] == '\0') return false;
  return Admit(ctx->flags, kind, ctx->failed != 0, LastError()).write;
}

int WriteRecord(TraceContext *ctx, uint32_t kind, const void *data,
                size_t length, bool length_known) {
  if (data == nullptr) return 0;
  int32_t code = 0;
  bool warning = false;
  if (!AdmitRecord(ctx, kind, &code, &warning)) return 0;
  if (kind & TRACE_KIND_DUMP) {
    return WriteDump(ctx, static_cast<const unsigned char *>(data), length);
  }
  const char *text = static_cast<const char *>(data);
  if (!length_known) length = strlen(text);
  return WriteText(ctx, text, length, warning, code);
}

namespace {

// A text line formatted printf-style into out (kStackRecord bytes), with
// the clock reading it took in *now; returns its end, or null when the
// flags refuse it (and then nothing is formatted). The text is formatted
// straight into the line, after its head, rather than formatted apart and
// copied in.
char *FormatLine(TraceContext *ctx, char *out, uint32_t *now, uint32_t kind,
                 const char *format, va_list ap) {
  if (format == nullptr || format[0] == '\0') return nullptr;
  kind &= ~TRACE_KIND_DUMP;
  // Admitted before formatting: a record refused anyway is not formatted.
  int32_t code = 0;
  bool warning = false;
  if (!AdmitRecord(ctx, kind, &code, &warning)) return nullptr;

  *now = g_os.tick_ms();
  uint32_t elapsed = *now - ctx->last_tick;  // modulo 2^32, as in WriteText
  LocalTime clock;
  g_os.local_time(&clock, 0);
  // Head (under 128 bytes), at most kTraceFormatSize - 1 characters of
  // text, each possibly doubled by a line feed, and the tail: well within.
  char *text = PutTextHead(out, ctx, elapsed, clock, warning);
  size_t n = FormatV(text, kTraceFormatSize, format, ap);
  return PutTextTail(ExpandFeeds(text, n), ctx, warning, code);
}

}  // namespace

void TraceFormat(uint32_t kind, const char *format, ...) {
  TraceContext *ctx = FindContext();
  char out[kStackRecord];
  uint32_t now = 0;
  va_list ap;
  va_start(ap, format);
  char *end = FormatLine(ctx, out, &now, kind, format, ap);
  va_end(ap);
  if (end != nullptr) AppendText(ctx, out, end, now);
}

namespace {

void CallAndDumpV(TraceContext *ctx, const DumpPiece *pieces, size_t count,
                  size_t length, const char *format, va_list ap) {
  char out[kStackRecord];
  uint32_t now = 0;
  char *end = FormatLine(ctx, out, &now, TRACE_KIND_CALL, format, ap);
  bool dump =
      ctx != nullptr && count != 0 && pieces[0].data != nullptr &&
      Admit(ctx->flags, TRACE_KIND_DUMP, ctx->failed != 0, LastError()).write;
  if (end == nullptr) {
    if (dump) WriteDumpPieces(ctx, pieces, count, length);
    return;
  }
  if (!dump) {
    AppendText(ctx, out, end, now);
    return;
  }
  size_t line = static_cast<size_t>(end - out);
  if (WriteDumpPieces(ctx, pieces, count, length, out, line)) {
    ctx->last_tick = now;
  }
}

}  // namespace

void TraceCallAndDump(TraceContext *ctx, const void *data, size_t count,
                      const char *format, ...) {
  DumpPiece piece = {data, count};
  va_list ap;
  va_start(ap, format);
  CallAndDumpV(ctx, &piece, 1, count, format, ap);
  va_end(ap);
}

void TraceCallAndDumpPieces(TraceContext *ctx, const DumpPiece *pieces,
                            size_t count, size_t length, const char *format,
                            ...) {
  va_list ap;
  va_start(ap, format);
  CallAndDumpV(ctx, pieces, count, length, format, ap);
  va_end(ap);
}

}  // namespace nq

// A record written from inside a running call (a callback, a signal
// handler) is dropped: the call's record may be in the buffer it would use.
int NQ_CALL NetQuillWrite(uint32_t kind, const void *text, uint32_t length) {
  nq::ThreadState *ts = nq::EnterLibrary();
  if (ts == nullptr) return 0;
  bool length_known = (kind & TRACE_KIND_DUMP) != 0 || length != 0;
  int result =
      nq::WriteRecord(nq::FindContext(), kind, text, length, length_known);
  nq::LeaveLibrary(ts);
  return result;
}
