// Admission, layout and output of trace records. Every record is composed
// in full and handed to the system in one append, so records of other
// threads and processes can never land inside it.
#include "output/writer.h"

#include <string.h>

// Full dump lines take a vector path on x86 processors that have SSSE3,
// chosen when the library is loaded; elsewhere, and on older processors,
// they are built from tables.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define NQ_VECTOR_DUMP 1
#include <tmmintrin.h>
#else
#define NQ_VECTOR_DUMP 0
#endif

#include "control/error_bridge.h"
#include "netquill.h"
#include "platform/os.h"

namespace nq {
namespace {

constexpr int32_t kWouldBlock = 10035;     // WSAEWOULDBLOCK
constexpr int32_t kLastHardError = 11000;  // above: name resolution
constexpr uint32_t kFilterFlags = TRACE_FLAG_ERRORS | TRACE_FLAG_WARNINGS;
constexpr size_t kStackRecord = 4096;  // covers every call line
constexpr size_t kDumpChunk = 65536;   // data bytes per append
constexpr size_t kDumpBytesPerLine = 16;
// Longest dump line after its indentation: an eight-digit offset, two
// spaces, 48 hex cells, a space, 16 characters, CR LF.
constexpr size_t kDumpLineMax = 8 + 2 + 48 + 1 + 16 + 2;

constexpr char kHex[] = "0123456789ABCDEF";

// Lookup tables of the hot layouts, filled at compile time: two decimal
// digits per step for the clock and elapsed columns, and for dumps the hex
// cell and the shown character of every byte value.
struct Tables {
  char pair[100][2];  // "00" to "99"
  // Two upper-case hex digits, the separator space and one more space: a
  // cell goes out in one four-byte copy and the next cell covers the extra
  // space (after the last cell it is the space before the characters).
  char cell[256][4];
  char shown[256];  // the byte itself from 0x20 to 0x7E, else '.'
};

constexpr Tables MakeTables() {
  Tables t{};
  for (int i = 0; i < 100; ++i) {
    t.pair[i][0] = static_cast<char>('0' + i / 10);
    t.pair[i][1] = static_cast<char>('0' + i % 10);
  }
  for (int b = 0; b < 256; ++b) {
    t.cell[b][0] = kHex[b >> 4];
    t.cell[b][1] = kHex[b & 15];
    t.cell[b][2] = ' ';
    t.cell[b][3] = ' ';
    t.shown[b] = (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : '.';
  }
  return t;
}

constexpr Tables kTables = MakeTables();

// The default file lies in a directory that other users share, so it is
// opened with the care that asks for.
int AppendRecord(const TraceContext *ctx, const void *data, size_t size) {
  return (ctx->default_path ? g_os.append_owned : g_os.append)(ctx->path, data,
                                                               size);
}

bool IsWarning(const TraceContext *ctx, int32_t code) {
  return ctx->failed && (code == kWouldBlock || code > kLastHardError);
}

bool PassesFilter(uint32_t flags, uint32_t kind, bool failed) {
  if ((flags & kFilterFlags) == 0) return true;
  return failed || (kind & flags) != 0;
}

// Writes value in decimal with at least min_digits (at most 10) digits;
// returns the end.
char *PutDecimal(char *p, uint32_t value, int min_digits) {
  char tmp[10];
  char *end = tmp + sizeof tmp;
  char *q = end;
  while (value >= 100) {
    q -= 2;
    memcpy(q, kTables.pair[value % 100], 2);
    value /= 100;
  }
  if (value >= 10) {
    q -= 2;
    memcpy(q, kTables.pair[value], 2);
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
  memcpy(p, kTables.pair[value], 2);
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

char *PutOffset(char *p, uint32_t offset) {
  if (offset <= 0xFFFF) {  // every line of a dump's first 64 KiB
    memcpy(p, kTables.cell[offset >> 8], 2);
    memcpy(p + 2, kTables.cell[offset & 0xFF], 2);
    memcpy(p + 4, "  ", 2);
    return p + 6;
  }
  int digits = 5;
  while (digits < 8 && (offset >> (4 * digits)) != 0) ++digits;
  for (int i = digits - 1; i >= 0; --i) *p++ = kHex[(offset >> (4 * i)) & 15];
  *p++ = ' ';
  *p++ = ' ';
  return p;
}

// The character column of eight bytes at once: each byte from 0x20 to 0x7E
// stays, every other one becomes '.'.
uint64_t ShownEight(uint64_t x) {
  const uint64_t low7 = 0x7F7F7F7F7F7F7F7FULL;
  const uint64_t high = 0x8080808080808080ULL;
  uint64_t seven = x & low7;
  uint64_t from_space = (seven + 0x6060606060606060ULL) & high;  // >= 0x20
  uint64_t is_delete = (seven + 0x0101010101010101ULL) & high;   // == 0x7F
  uint64_t shown = from_space & ~is_delete & ~x & high;          // < 0x80
  uint64_t mask = (shown >> 7) * 0xFF;
  return (x & mask) | (0x2E2E2E2E2E2E2E2EULL & ~mask);
}

// Spaces for the indentation, eight at a time: the few written past it
// are covered by the offset that follows.
char *PutIndent(char *p, size_t indent) {
  for (size_t k = 0; k < indent; k += 8) memcpy(p + k, "        ", 8);
  return p + indent;
}

// A full dump line of 16 bytes at offset, after the indentation: the line
// that large dumps are made of, built from the tables and eight bytes at a
// time, without a branch per byte.
char *PutFullDumpLine(char *p, const unsigned char *bytes, uint32_t offset) {
  p = PutOffset(p, offset);
  for (size_t j = 0; j < kDumpBytesPerLine; j += 8) {  // unrolled by eight
    memcpy(p + 3 * j, kTables.cell[bytes[j]], 4);
    memcpy(p + 3 * j + 3, kTables.cell[bytes[j + 1]], 4);
    memcpy(p + 3 * j + 6, kTables.cell[bytes[j + 2]], 4);
    memcpy(p + 3 * j + 9, kTables.cell[bytes[j + 3]], 4);
    memcpy(p + 3 * j + 12, kTables.cell[bytes[j + 4]], 4);
    memcpy(p + 3 * j + 15, kTables.cell[bytes[j + 5]], 4);
    memcpy(p + 3 * j + 18, kTables.cell[bytes[j + 6]], 4);
    memcpy(p + 3 * j + 21, kTables.cell[bytes[j + 7]], 4);
  }
  p[3 * 7 + 2] = ':';
  p += 3 * kDumpBytesPerLine + 1;
  for (size_t half = 0; half < kDumpBytesPerLine; half += 8) {
    uint64_t eight;
    memcpy(&eight, bytes + half, 8);
    eight = ShownEight(eight);
    memcpy(p + half, &eight, 8);
  }
  p[kDumpBytesPerLine] = '\r';
  p[kDumpBytesPerLine + 1] = '\n';
  return p + kDumpBytesPerLine + 2;
}

// count full lines of the bytes at offset, each after its indentation.
char *PutFullDumpLines(char *p, const unsigned char *bytes, uint32_t offset,
                       size_t count, size_t indent) {
  for (size_t line = 0; line < count; ++line) {
    p = PutFullDumpLine(PutIndent(p, indent), bytes, offset);
    bytes += kDumpBytesPerLine;
    offset += kDumpBytesPerLine;
  }
  return p;
}

#if NQ_VECTOR_DUMP
// The same lines with SSSE3 byte shuffles, which turn the 16 bytes into
// their 48 hex cells and 16 characters in a few instructions: the tables
// above take some eighty per line, as long as the file append of a 64 KiB
// dump needs for its bytes.
__attribute__((target("ssse3"))) char *PutFullDumpLinesVector(
    char *p, const unsigned char *bytes, uint32_t offset, size_t count,
    size_t indent) {
  const char z = static_cast<char>(0x80);  // a shuffle index that gives 0
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const __m128i digits = _mm_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7',
                                       '8', '9', 'A', 'B', 'C', 'D', 'E', 'F');
  // Where each output byte of the hex area comes from in the digit pairs of
  // bytes 0 to 7 (pairs0) and 8 to 15 (pairs1); the separators are ORed in.
  const __m128i take0 =
      _mm_setr_epi8(0, 1, z, 2, 3, z, 4, 5, z, 6, 7, z, 8, 9, z, 10);
  const __m128i take1a =
      _mm_setr_epi8(11, z, 12, 13, z, 14, 15, z, z, z, z, z, z, z, z, z);
  const __m128i take1b =
      _mm_setr_epi8(z, z, z, z, z, z, z, z, 0, 1, z, 2, 3, z, 4, 5);
  const __m128i take2 =
      _mm_setr_epi8(z, 6, 7, z, 8, 9, z, 10, 11, z, 12, 13, z, 14, 15, z);
  const __m128i gaps0 =
      _mm_setr_epi8(0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0);
  const __m128i gaps1 =
      _mm_setr_epi8(0, ' ', 0, 0, ' ', 0, 0, ':', 0, 0, ' ', 0, 0, ' ', 0, 0);
  const __m128i gaps2 =
      _mm_setr_epi8(' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ');
  const __m128i below_space = _mm_set1_epi8(0x1F);
  const __m128i del = _mm_set1_epi8(0x7F);
  const __m128i dot = _mm_set1_epi8('.');
  for (size_t line = 0; line < count; ++line) {
    p = PutOffset(PutIndent(p, indent), offset);
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes));
    __m128i high =
        _mm_shuffle_epi8(digits, _mm_and_si128(_mm_srli_epi16(x, 4), nibble));
    __m128i low = _mm_shuffle_epi8(digits, _mm_and_si128(x, nibble));
    __m128i pairs0 = _mm_unpacklo_epi8(high, low);
    __m128i pairs1 = _mm_unpackhi_epi8(high, low);
    __m128i out0 = _mm_or_si128(_mm_shuffle_epi8(pairs0, take0), gaps0);
    __m128i out1 = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(pairs0, take1a),
                                             _mm_shuffle_epi8(pairs1, take1b)),
                                gaps1);
    __m128i out2 = _mm_or_si128(_mm_shuffle_epi8(pairs1, take2), gaps2);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), out0);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p + 16), out1);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p + 32), out2);
    p[48] = ' ';
    // Signed compares: bytes from 0x80 up are negative and fail the first.
    __m128i shown =
        _mm_and_si128(_mm_cmpgt_epi8(x, below_space), _mm_cmplt_epi8(x, del));
    __m128i text =
        _mm_or_si128(_mm_and_si128(shown, x), _mm_andnot_si128(shown, dot));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p + 49), text);
    p[65] = '\r';
    p[66] = '\n';
    p += 67;
    bytes += kDumpBytesPerLine;
    offset += kDumpBytesPerLine;
  }
  return p;
}

bool CpuHasVectorDump() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3");
}
#else
char *PutFullDumpLinesVector(char *p, const unsigned char *bytes,
                             uint32_t offset, size_t count, size_t indent) {
  return PutFullDumpLines(p, bytes, offset, count, indent);
}

bool CpuHasVectorDump() { return false; }
#endif

// Decided once, when the library is loaded.
const bool g_vector_dump = CpuHasVectorDump();

// The last line of a dump, of n (1 to 15) bytes, after the indentation.
char *PutShortDumpLine(char *p, const unsigned char *bytes, size_t n,
                       uint32_t offset) {
  p = PutOffset(p, offset);
  for (size_t j = 0; j < kDumpBytesPerLine; ++j) {
    if (j < n) {
      memcpy(p, kTables.cell[bytes[j]], 3);
      if (j == 7) p[2] = ':';
    } else {
      memcpy(p, "   ", 3);
    }
    p += 3;
  }
  *p++ = ' ';
  for (size_t j = 0; j < n; ++j) *p++ = kTables.shown[bytes[j]];
  *p++ = '\r';
  *p++ = '\n';
  return p;
}

int WriteDump(TraceContext *ctx, const unsigned char *data, size_t length) {
  // An empty dump still opens and closes the file, as any record does.
  if (length == 0) return AppendRecord(ctx, "", 0);
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
    const unsigned char *bytes = data + offset;
    size_t full = chunk / kDumpBytesPerLine;
    p = (g_vector_dump ? PutFullDumpLinesVector : PutFullDumpLines)(
        p, bytes, static_cast<uint32_t>(offset), full, indent);
    bytes += full * kDumpBytesPerLine;
    offset += full * kDumpBytesPerLine;
    size_t rest = chunk % kDumpBytesPerLine;
    if (rest != 0) {
      p = PutShortDumpLine(PutIndent(p, indent), bytes, rest,
                           static_cast<uint32_t>(offset));
      offset += rest;
    }
    if (!AppendRecord(ctx, out, static_cast<size_t>(p - out))) return 0;
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

// The text is formatted straight into the line, after its head, rather
// than formatted apart and copied in.
void TraceFormat(uint32_t kind, const char *format, ...) {
  if (format == nullptr || format[0] == '\0') return;
  kind &= ~TRACE_KIND_DUMP;
  TraceContext *ctx = FindContext();
  // WouldWrite's test with the code fetched once: a record refused anyway
  // is not formatted.
  if (ctx == nullptr || ctx->path[0] == '\0') return;
  int32_t code = LastError();
  bool warning = IsWarning(ctx, code);
  bool demoted = warning && !(ctx->flags & TRACE_FLAG_WARNINGS);
  if (!PassesFilter(ctx->flags, kind, ctx->failed && !demoted)) return;
  // Admitted, as WriteRecord would: a warning without the warnings flag is
  // no failure from here on.
  if (demoted) ctx->failed = 0;

  uint32_t now = g_os.tick_ms();
  uint32_t elapsed = now - ctx->last_tick;  // modulo 2^32, as in WriteText
  LocalTime clock;
  g_os.local_time(&clock, 0);
  // Head (under 128 bytes), at most kTraceFormatSize - 1 characters of
  // text, each possibly doubled by a line feed, and the tail: well within.
  char out[kStackRecord];
  char *text = PutTextHead(out, ctx, elapsed, clock, warning);
  va_list ap;
  va_start(ap, format);
  size_t n = FormatV(text, kTraceFormatSize, format, ap);
  va_end(ap);
  char *end = PutTextTail(ExpandFeeds(text, n), ctx, warning, code);
  AppendText(ctx, out, end, now);
}

int TraceDump(const void *data, uint32_t length) {
  return WriteRecord(FindContext(), TRACE_KIND_DUMP, data, length, true);
}

}  // namespace nq

int NQ_CALL NetQuillWrite(uint32_t kind, const void *text, uint32_t length) {
  bool length_known = (kind & TRACE_KIND_DUMP) != 0 || length != 0;
  return nq::WriteRecord(nq::FindContext(), kind, text, length, length_known);
}
