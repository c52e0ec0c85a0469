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
                  const LocalTime &clock, const Admission &a,
                  const CallNotes *notes) {
  size_t module_len = strlen(ctx->module_name);
  memcpy(p, ctx->module_name, module_len);
  p += module_len;
  *p++ = ' ';
  if (notes != nullptr && notes->start_second != 0) {
    uint32_t second = (notes->start_second - 1) % 86400u;
    p = PutTwoDigits(p, second / 3600u);
    p = PutTwoDigits(p, second / 60u % 60u);
    p = PutTwoDigits(p, second % 60u);
    *p++ = '.';
    p = PutDecimal(p, notes->start_micro % 1000000u, 6);
  } else {
    p = PutTwoDigits(p, ClockField(clock.hour));
    p = PutTwoDigits(p, ClockField(clock.minute));
    p = PutTwoDigits(p, ClockField(clock.second));
  }
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

char *PutLineTail(char *p, const Admission &a, const CallNotes *notes) {
  if (a.failed || a.warning) {
    *p++ = ' ';
    *p++ = '[';
    p = PutSigned(p, a.code);
    *p++ = ']';
  }
  if (notes != nullptr && notes->start_second != 0) {
    memcpy(p, " <", 2);
    p = PutDecimal(p + 2, notes->took_seconds);
    *p++ = '.';
    p = PutDecimal(p, notes->took_micros % 1000000u, 6);
    *p++ = '>';
  }
  *p++ = '\r';
  *p++ = '\n';
  return p;
}

namespace {

// The decimal number that starts text (n characters), followed by one of
// the characters of ends or by the text's end, into *value: its length; 0
// when there is none.
size_t ReadNumber(const char *text, size_t n, const char *ends,
                  intptr_t *value) {
  size_t i = text[0] == '-' && n > 0 ? 1 : 0;
  int64_t v = 0;
  size_t digits = 0;
  for (; i < n && text[i] >= '0' && text[i] <= '9' && digits < 18; ++i) {
    v = v * 10 + (text[i] - '0');
    ++digits;
  }
  if (digits == 0 || (i < n && strchr(ends, text[i]) == nullptr)) return 0;
  *value = static_cast<intptr_t>(text[0] == '-' ? -v : v);
  return i;
}

// The calls whose first argument is never a socket, and those whose result
// is a new one, by the name a line gives them.
const char *const kNoSocketFirst[] = {"select",
                                      "socket",
                                      "socketpair",
                                      "WSASocketA",
                                      "WSASocketW",
                                      "WSAStartup",
                                      "getprotobynumber",
                                      "getservbyport",
                                      "WSAWaitForMultipleEvents",
                                      nullptr};
const char *const kMakesSockets[] = {"accept",     "socket",     "WSAAccept",
                                     "WSASocketA", "WSASocketW", "WSAJoinLeaf",
                                     nullptr};

bool NameIn(const char *name, size_t len, const char *const *names) {
  for (; *names != nullptr; ++names)
    if (strlen(*names) == len && memcmp(*names, name, len) == 0) return true;
  return false;
}

// Inserts label before the character at index at; false when the room
// does not hold it.
bool InsertAt(char *text, size_t *n, size_t room, size_t at,
              const char *label) {
  size_t len = strlen(label);
  if (len > kSocketLabelMax || *n + len > room) return false;
  memmove(text + at + len, text + at, *n - at);
  memcpy(text + at, label, len);
  *n += len;
  return true;
}

}  // namespace

size_t (*g_socket_label)(intptr_t socket, char *out) = nullptr;

size_t PutSocketLabels(char *text, size_t n, size_t room) {
  const char *open = static_cast<const char *>(memchr(text, '(', n));
  if (open == nullptr) return n;
  size_t name_len = static_cast<size_t>(open - text);
  char label[kSocketLabelMax];
  static const char kReturned[] = " returned ";
  const size_t returned_len = sizeof kReturned - 1;
  if (NameIn(text, name_len, kMakesSockets)) {
    for (size_t i = n - (n >= returned_len ? returned_len : n); i-- > 0;) {
      if (memcmp(text + i, kReturned, returned_len) != 0) continue;
      size_t at = i + returned_len;
      intptr_t value;
      size_t len = ReadNumber(text + at, n - at, " ", &value);
      if (len != 0 && g_socket_label(value, label) != 0)
        InsertAt(text, &n, room, at + len, label);
      break;
    }
  }
  if (!NameIn(text, name_len, kNoSocketFirst)) {
    size_t at = name_len + 1;
    intptr_t value;
    size_t len = ReadNumber(text + at, n - at, ",)", &value);
    if (len != 0 && g_socket_label(value, label) != 0)
      InsertAt(text, &n, room, at + len, label);
  }
  return n;
}

}  // namespace nq
