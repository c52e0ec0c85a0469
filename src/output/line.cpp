#include "output/line.h"

#include <string.h>

#include "output/digits.h"

namespace nq {
namespace {

uint32_t ClockField(int v) { return v < 0 ? 0u : static_cast<uint32_t>(v); }

// Two digits of a clock field (0 to 99).
char *PutTwoDigits(char *p, uint32_t value) {
  if (value > 99) return PutDecimal(p, value, 2);
  memcpy(p, kDigits.pair[value], 2);
  return p + 2;
}

}  // namespace

char *PutLineHead(char *p, const TraceContext *ctx, uint32_t elapsed,
                  const LocalTime &clock, const Admission &a) {
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
  const char *tag = a.warning ? "WRN: " : a.failed ? "ERR: " : "INF: ";
  memcpy(p, tag, 5);
  return p + 5;
}

size_t CountFeeds(const char *text, size_t n) {
  const char *end = text + n;
  size_t feeds = 0;
  for (const char *q = text;
       (q = static_cast<const char *>(memchr(q, '\n', end - q))); ++q) {
    ++feeds;
  }
  return feeds;
}

char *ExpandFeeds(char *text, size_t n) {
  size_t feeds = CountFeeds(text, n);
  char *end = text + n;
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

char *PutLineTail(char *p, const Admission &a) {
  if (a.failed || a.warning) {
    *p++ = ' ';
    *p++ = '[';
    p = PutSigned(p, a.code);
    *p++ = ']';
  }
  *p++ = '\r';
  *p++ = '\n';
  return p;
}

}  // namespace nq
