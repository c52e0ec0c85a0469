// The -T and -y views of a call line, edited in place.
#include "output/line_views.h"

#include <string.h>

#include "output/digits.h"

namespace nq {
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

size_t PutSocketLabels(char *text, size_t n, size_t room,
                       SocketLabelFn label_of) {
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
      if (len != 0 && label_of(value, label) != 0)
        InsertAt(text, &n, room, at + len, label);
      break;
    }
  }
  if (!NameIn(text, name_len, kNoSocketFirst)) {
    size_t at = name_len + 1;
    intptr_t value;
    size_t len = ReadNumber(text + at, n - at, ",)", &value);
    if (len != 0 && label_of(value, label) != 0)
      InsertAt(text, &n, room, at + len, label);
  }
  return n;
}

size_t EditCallLine(char *line, size_t text_at, size_t clock_at, size_t n,
                    size_t room, const CallTimes *times,
                    SocketLabelFn label_of) {
  n -= 2;  // CR LF, put back at the end
  if (label_of != nullptr) {
    // The text, labelled, with what follows it moved along; the last 64
    // bytes of the room stay for the times and the line's end.
    n = text_at + PutSocketLabels(line + text_at, n - text_at,
                                  room - 64 - text_at, label_of);
  }
  if (times != nullptr) {
    // "HHMMSS" becomes "HHMMSS.UUUUUU", the call's start.
    char start[16];
    uint32_t second = times->start_second % 86400u;
    char *p = PutDecimal(start, second / 3600u, 2);
    p = PutDecimal(p, second / 60u % 60u, 2);
    p = PutDecimal(p, second % 60u, 2);
    *p++ = '.';
    p = PutDecimal(p, times->start_micro % 1000000u, 6);
    memmove(line + clock_at + 13, line + clock_at + 6, n - clock_at - 6);
    memcpy(line + clock_at, start, 13);
    n += 7;
    memcpy(line + n, " <", 2);
    p = PutDecimal(line + n + 2, times->took_seconds);
    *p++ = '.';
    p = PutDecimal(p, times->took_micros % 1000000u, 6);
    *p++ = '>';
    n = static_cast<size_t>(p - line);
  }
  line[n++] = '\r';
  line[n++] = '\n';
  return n;
}

}  // namespace nq
