// Admission, layout and output of trace records. Every record is composed
// in full and handed to the system in one append, so records of other
// threads and processes can never land inside it.
#include "output/writer.h"

#include <string.h>

#include "control/error_bridge.h"
#include "netquill.h"
#include "platform/os.h"

namespace nq {
namespace {

constexpr int32_t kWouldBlock = 10035;        // WSAEWOULDBLOCK
constexpr int32_t kLastHardError = 11000;     // above: name resolution
constexpr uint32_t kFilterFlags = TRACE_FLAG_ERRORS | TRACE_FLAG_WARNINGS;
constexpr size_t kStackRecord = 4096;         // covers every call line
constexpr size_t kDumpChunk = 65536;          // data bytes per append
constexpr size_t kDumpBytesPerLine = 16;
// Longest dump line after its indentation: an eight-digit offset, two
// spaces, 48 hex cells, a space, 16 characters, CR LF.
constexpr size_t kDumpLineMax = 8 + 2 + 48 + 1 + 16 + 2;

const char kHex[] = "0123456789ABCDEF";

bool IsWarning(const TraceContext *ctx, int32_t code) {
  return ctx->failed && (code == kWouldBlock || code > kLastHardError);
}

bool PassesFilter(uint32_t flags, uint32_t kind, bool failed) {
  if ((flags & kFilterFlags) == 0) return true;
  return failed || (kind & flags) != 0;
}

// Writes value in decimal with at least min_digits digits; returns the end.
char *PutDecimal(char *p, uint32_t value, int min_digits) {
  char tmp[10];
  int n = 0;
  do {
    tmp[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n < min_digits) tmp[n++] = '0';
  while (n > 0) *p++ = tmp[--n];
  return p;
}

char *PutSigned(char *p, int32_t value) {
  if (value < 0) {
    *p++ = '-';
    return PutDecimal(p, 0u - static_cast<uint32_t>(value), 1);
  }
  return PutDecimal(p, static_cast<uint32_t>(value), 1);
}

uint32_t ClockField(int v) { return v < 0 ? 0u : static_cast<uint32_t>(v); }

int WriteText(TraceContext *ctx, const char *text, size_t length,
              bool warning, int32_t code) {
  uint32_t now = g_os.tick_ms();
  // Unsigned difference: a wrap of the counter still gives the true time.
  uint32_t elapsed = now - ctx->last_tick;
  LocalTime clock;
  g_os.local_time(&clock, 0);

  size_t module_len = strlen(ctx->module_name);
  // Fixed columns: space, clock, space, up to ten elapsed digits, space,
  // tag, " [-2147483648]", CR LF.
  const size_t fixed = module_len + 1 + 6 + 1 + 10 + 1 + 5 + 14 + 2;
  char stack[kStackRecord];
  char *out = stack;
  if (length > (kStackRecord - fixed) / 2) {
    // Only a caller's own long record gets here: size it exactly.
    size_t feeds = 0;
    for (size_t i = 0; i < length; ++i) feeds += text[i] == '\n';
    out = ContextScratch(ctx, fixed + length + feeds);
    if (out == nullptr) return 0;
  }

  char *p = out;
  memcpy(p, ctx->module_name, module_len);
  p += module_len;
  *p++ = ' ';
  p = PutDecimal(p, ClockField(clock.hour), 2);
  p = PutDecimal(p, ClockField(clock.minute), 2);
  p = PutDecimal(p, ClockField(clock.second), 2);
  *p++ = ' ';
  p = PutDecimal(p, elapsed, 4);
  *p++ = ' ';
  const char *tag = warning ? "WRN: " : ctx->failed ? "ERR: " : "INF: ";
  memcpy(p, tag, 5);
  p += 5;
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
  if (ctx->failed || warning) {
    *p++ = ' ';
    *p++ = '[';
    p = PutSigned(p, code);
    *p++ = ']';
  }
  *p++ = '\r';
  *p++ = '\n';
  if (!g_os.append(ctx->path, out, static_cast<size_t>(p - out))) return 0;
  ctx->last_tick = now;
  return 1;
}

// One dump line of n (1 to 16) bytes at offset, after the indentation.
char *PutDumpLine(char *p, const unsigned char *bytes, size_t n,
                  uint32_t offset) {
  int digits = 4;
  while (digits < 8 && (offset >> (4 * digits)) != 0) ++digits;
  for (int i = digits - 1; i >= 0; --i) *p++ = kHex[(offset >> (4 * i)) & 15];
  *p++ = ' ';
  *p++ = ' ';
  for (size_t j = 0; j < kDumpBytesPerLine; ++j) {
    if (j < n) {
      *p++ = kHex[bytes[j] >> 4];
      *p++ = kHex[bytes[j] & 15];
      *p++ = j == 7 ? ':' : ' ';
    } else {
      *p++ = ' ';
      *p++ = ' ';
      *p++ = ' ';
    }
  }
  *p++ = ' ';
  for (size_t j = 0; j < n; ++j) {
    unsigned char c = bytes[j];
    *p++ = (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : '.';
  }
  *p++ = '\r';
  *p++ = '\n';
  return p;
}

int WriteDump(TraceContext *ctx, const unsigned char *data, size_t length) {
  // An empty dump still opens and closes the file, as any record does.
  if (length == 0) return g_os.append(ctx->path, "", 0);
  size_t indent = strlen(ctx->module_name) + 1;
  size_t offset = 0;
  while (offset < length) {
    size_t chunk = length - offset < kDumpChunk ? length - offset : kDumpChunk;
    size_t lines = (chunk + kDumpBytesPerLine - 1) / kDumpBytesPerLine;
    size_t need = lines * (indent + kDumpLineMax);
    char stack[kStackRecord];
    char *out = need <= sizeof stack ? stack : ContextScratch(ctx, need);
    if (out == nullptr) return 0;
    char *p = out;
    for (size_t done = 0; done < chunk; done += kDumpBytesPerLine) {
      size_t n = chunk - done < kDumpBytesPerLine ? chunk - done
                                                  : kDumpBytesPerLine;
      memset(p, ' ', indent);
      p = PutDumpLine(p + indent, data + offset + done, n,
                      static_cast<uint32_t>(offset + done));
    }
    if (!g_os.append(ctx->path, out, static_cast<size_t>(p - out))) return 0;
    offset += chunk;
  }
  return 1;
}

}  // namespace

bool WouldWrite(const TraceContext *ctx, uint32_t kind) {
  if (ctx == nullptr || ctx->path[0] == '\0') return false;
  if ((kind & TRACE_KIND_DUMP) && !(ctx->flags & TRACE_FLAG_DUMP)) return false;
  bool failed = ctx->failed != 0;
  if (IsWarning(ctx, LastError()) && !(ctx->flags & TRACE_FLAG_WARNINGS)) {
    failed = false;
  }
  return PassesFilter(ctx->flags, kind, failed);
}

int WriteRecord(TraceContext *ctx, uint32_t kind, const void *data,
                size_t length, bool length_known) {
  if (ctx == nullptr || ctx->path[0] == '\0') return 0;
  if (data == nullptr) return 0;
  if ((kind & TRACE_KIND_DUMP) && !(ctx->flags & TRACE_FLAG_DUMP)) return 0;
  int32_t code = LastError();
  bool warning = IsWarning(ctx, code);
  // Without the warnings flag a warning is no failure for the filter; the
  // mark stays cleared for the rest of the call.
  if (warning && !(ctx->flags & TRACE_FLAG_WARNINGS)) ctx->failed = 0;
  if (!PassesFilter(ctx->flags, kind, ctx->failed != 0)) return 0;
  if (kind & TRACE_KIND_DUMP) {
    return WriteDump(ctx, static_cast<const unsigned char *>(data), length);
  }
  const char *text = static_cast<const char *>(data);
  if (!length_known) length = strlen(text);
  return WriteText(ctx, text, length, warning, code);
}

void TraceFormat(uint32_t kind, const char *format, ...) {
  if (format == nullptr || format[0] == '\0') return;
  kind &= ~TRACE_KIND_DUMP;
  TraceContext *ctx = FindContext();
  if (!WouldWrite(ctx, kind)) return;  // refused anyway: skip the formatting
  char text[kTraceFormatSize];
  va_list ap;
  va_start(ap, format);
  size_t n = FormatV(text, sizeof text, format, ap);
  va_end(ap);
  WriteRecord(ctx, kind, text, n, true);
}

int TraceDump(const void *data, uint32_t length) {
  return WriteRecord(FindContext(), TRACE_KIND_DUMP, data, length, true);
}

}  // namespace nq

int NQ_CALL NetQuillWrite(uint32_t kind, const void *text, uint32_t length) {
  bool length_known = (kind & TRACE_KIND_DUMP) != 0 || length != 0;
  return nq::WriteRecord(nq::FindContext(), kind, text, length, length_known);
}
