// A socket call's clock for -T, read around the system's call by
// netquill-run.exe's injected DLL and by the drop-in WSOCK32.DLL alike:
// its start by the system's time, its duration by the performance counter.
#ifndef NQ_RUN_WIN_CALL_CLOCK_WIN32_H
#define NQ_RUN_WIN_CALL_CLOCK_WIN32_H

// winsock2.h first: windows.h would bring the older socket header.
#include <winsock2.h>

#include <windows.h>

#include "output/line_views.h"

namespace nqrun {

// A call's clock readings: its start by the system's time, and the
// performance counter before and after it.
struct CallClock {
  FILETIME start;
  LARGE_INTEGER began;
  LARGE_INTEGER ended;
};

// Whether calls are timed; set, by TimeCalls, before any call is.
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

// Switches the timing of calls on or off, for every thread's next call.
void TimeCalls(bool timed);

// The readings of clock as a line shows them: the start in local time,
// the duration; false when the start has no local time.
bool CallTimesOf(const CallClock &clock, nq::CallTimes *times);

}  // namespace nqrun

#endif
