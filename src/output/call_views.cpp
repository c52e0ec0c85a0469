// The -T and -y views of call lines, which the writer hands each call line
// to once a launcher switched them on.
#include "output/call_views.h"

#include "core/thread_state.h"
#include "output/writer.h"

namespace nq {

SocketLabelFn g_socket_label = nullptr;

namespace {

// The call line with the calling thread's notes: its start's microseconds
// after the clock, its sockets' labels, its duration at the end.
size_t NQ_CALL ShowNotes(char *line, size_t text_at, size_t clock_at, size_t n,
                         size_t room) {
  CallNotes notes = {};
  ThreadState *ts = ThisThread();
  if (ts != nullptr) {
    notes = ts->notes;
    ts->notes = CallNotes{};
  }
  CallTimes times = {notes.start_second - 1, notes.start_micro,
                     notes.took_seconds, notes.took_micros};
  return EditCallLine(line, text_at, clock_at, n, room,
                      notes.start_second != 0 ? &times : nullptr,
                      g_socket_label);
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
