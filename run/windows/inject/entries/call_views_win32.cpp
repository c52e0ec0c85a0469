// netquill-run.exe's -T and -y: the clock readings of each call turned
// into its line's start and duration, and the labels of its sockets, as
// the drop-in WSOCK32.DLL has them too (run/windows/shared).
#include "entries/call_views_win32.h"

#include "output/call_views.h"
#include "socket_labels_win32.h"

namespace nq {

void OfferCallClock(const CallClock &clock) {
  CallTimes times;
  if (!nqrun::g_calls_timed || !nqrun::CallTimesOf(clock, &times)) return;
  NoteCallTimes(times.start_second, times.start_micro, times.took_seconds,
                times.took_micros);
}

void DropCallClock() {
  if (nqrun::g_calls_timed) ForgetCallNotes();
}

void SetCallViews(bool timed, bool labelled) {
  nqrun::TimeCalls(timed);
  g_socket_label = labelled ? nqrun::LabelSocket : nullptr;
  if (timed || labelled) ShowCallViews();
}

}  // namespace nq
