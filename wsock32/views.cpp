// The drop-in's call-line callback: the line edited as netquill-run.exe's
// injected DLL edits it, from this DLL's own clock readings and the
// system's answers about each socket.
#include "views.h"

#include "socket_labels_win32.h"

namespace nqws {
namespace {

// The thread slot of the clock of the call whose line is being written;
// TLS_OUT_OF_INDEXES while calls are not timed.
DWORD g_clock_slot = TLS_OUT_OF_INDEXES;
bool g_labelled;                  // NETQUILL_SOCKET_LABELS=1
SetLineViewsFn g_set_line_views;  // NETQUILL.DLL's, once installed

// Called by NETQUILL.DLL's writer on the thread of the call, inside its
// hook. TlsGetValue clears the last error, which the hook hands back to
// the program after its line: it is kept.
size_t WINAPI ShowViews(char *line, size_t text_at, size_t clock_at, size_t n,
                        size_t room) {
  DWORD saved = GetLastError();
  nq::CallTimes times;
  const nqrun::CallClock *clock =
      g_clock_slot != TLS_OUT_OF_INDEXES
          ? static_cast<const nqrun::CallClock *>(TlsGetValue(g_clock_slot))
          : nullptr;
  bool timed = clock != nullptr && nqrun::CallTimesOf(*clock, &times);
  n = nq::EditCallLine(line, text_at, clock_at, n, room,
                       timed ? &times : nullptr,
                       g_labelled ? nqrun::LabelSocket : nullptr);
  SetLastError(saved);
  return n;
}

}  // namespace

void PrepareViews(bool timed) {
  if (timed) g_clock_slot = TlsAlloc();
}

void InstallViews(SetLineViewsFn set_line_views, bool labelled) {
  bool timed = g_clock_slot != TLS_OUT_OF_INDEXES;
  if (set_line_views == nullptr || (!timed && !labelled)) return;
  g_labelled = labelled;
  nqrun::TimeCalls(timed);
  set_line_views(ShowViews);
  g_set_line_views = set_line_views;
}

TimedCall::TimedCall() : shown_(false) { nqrun::StartCallClock(&clock_); }

void TimedCall::Ended() {
  if (!nqrun::g_calls_timed) return;
  nqrun::StopCallClock(&clock_);
  shown_ = TlsSetValue(g_clock_slot, &clock_) != FALSE;
}

TimedCall::~TimedCall() {
  if (shown_) TlsSetValue(g_clock_slot, nullptr);
}

void ReleaseViews() {
  // NETQUILL.DLL stays loaded: its lines must not call into this DLL once
  // it is gone.
  if (g_set_line_views != nullptr) g_set_line_views(nullptr);
  if (g_clock_slot != TLS_OUT_OF_INDEXES) TlsFree(g_clock_slot);
  g_clock_slot = TLS_OUT_OF_INDEXES;
}

}  // namespace nqws
