// The -T and -y views of call lines, which the writer hands each call line
// to once a launcher switched them on.
#include "output/call_views.h"

#include <string.h>

#include "core/thread_state.h"
#include "output/digits.h"
#include "output/sink.h"
#include "output/writer.h"

namespace nq {

size_t (*g_socket_label)(intptr_t socket, char *out) = nullptr;

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

namespace {

// The call line of n characters at line, CR LF included, whose text starts
// at text_at, with the calling thread's notes: its start's microseconds
// after the clock, its sockets' labels, its duration at the end. The line
// lies in a record of kStackRecord bytes; returns its new length.
size_t ShowNotes(const TraceContext *ctx, char *line, size_t text_at,
                 size_t n) {
  CallNotes notes = {};
  ThreadState *ts = ThisThread();
  if (ts != nullptr) {
    notes = ts->notes;
    ts->notes = CallNotes{};
  }
  n -= 2;  // CR LF, put back at the end
  if (g_socket_label != nullptr) {
    // The text, labelled, with what follows it moved along.
    char *text = line + text_at;
    n = text_at +
        PutSocketLabels(text, n - text_at, kStackRecord - 64 - text_at);
  }
  if (notes.start_second != 0) {
    // "HHMMSS" after the module name and a space becomes "HHMMSS.UUUUUU",
    // the call's start.
    size_t clock = strlen(ctx->module_name) + 1;
    char start[16];
    uint32_t second = (notes.start_second - 1) % 86400u;
    char *p = PutDecimal(start, second / 3600u, 2);
    p = PutDecimal(p, second / 60u % 60u, 2);
    p = PutDecimal(p, second % 60u, 2);
    *p++ = '.';
    p = PutDecimal(p, notes.start_micro % 1000000u, 6);
    memmove(line + clock + 13, line + clock + 6, n - clock - 6);
    memcpy(line + clock, start, 13);
    n += 7;
    memcpy(line + n, " <", 2);
    p = PutDecimal(line + n + 2, notes.took_seconds);
    *p++ = '.';
    p = PutDecimal(p, notes.took_micros % 1000000u, 6);
    *p++ = '>';
    n = static_cast<size_t>(p - line);
  }
  line[n++] = '\r';
  line[n++] = '\n';
  return n;
}

}  // namespace

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

void ShowCallViews() { g_call_line_views = ShowNotes; }

}  // namespace nq
