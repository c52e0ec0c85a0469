// What netquill-run.exe -T and -y add to call lines: each call's start and
// duration, as the relay that made the call measured it, and what each
// socket in a line is, as the system says.
#ifndef NQ_ENTRIES_CALL_VIEWS_WIN32_H
#define NQ_ENTRIES_CALL_VIEWS_WIN32_H

// A header of netquill-run.exe's entries, above the library's floors.
#if NQ_FLOOR < 5
#error "run/windows/inject/entries/ is above the floor of this file (NQ_FLOOR)"
#endif

// winsock2.h first: windows.h would bring the older socket header.
#include <winsock2.h>

#include <windows.h>

namespace nq {

// A call's clock readings: its start by the system's time, and the
// performance counter before and after it.
struct CallClock {
  FILETIME start;
  LARGE_INTEGER began;
  LARGE_INTEGER ended;
};

// Whether calls are timed (-T); set before the program's calls are traced.
extern volatile bool g_calls_timed;

// The system's time to the microsecond where Windows has it (8 and
// later), else to its tick.
extern void(WINAPI *g_precise_time)(LPFILETIME now);

inline void StartCallClock(CallClock *clock) {
  if (!g_calls_timed) return;
  g_precise_time(&clock->start);
  QueryPerformanceCounter(&clock->began);
}

inline void StopCallClock(CallClock *clock) {
  if (g_calls_timed) QueryPerformanceCounter(&clock->ended);
}

// Sets the clock's readings for the calling thread's next call line, or,
// after that line, drops what no line took (a call not written).
void OfferCallClock(const CallClock &clock);
void DropCallClock();

// Switches -T and -y on or off, for every thread's next line.
void SetCallViews(bool timed, bool labelled);

}  // namespace nq

#endif
