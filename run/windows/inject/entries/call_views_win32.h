// What netquill-run.exe -T and -y add to call lines: each call's start and
// duration, as the relay that made the call measured it, and what each
// socket in a line is, as the system says.
#ifndef NQ_ENTRIES_CALL_VIEWS_WIN32_H
#define NQ_ENTRIES_CALL_VIEWS_WIN32_H

// A header of netquill-run.exe's entries, above the library's floors.
#if NQ_FLOOR < 5
#error "run/windows/inject/entries/ is above the floor of this file (NQ_FLOOR)"
#endif

#include "call_clock_win32.h"

namespace nq {

// The clock of a call, read as the drop-in reads it (call_clock_win32.h).
using nqrun::CallClock;
using nqrun::StartCallClock;
using nqrun::StopCallClock;

// Sets the clock's readings for the calling thread's next call line, or,
// after that line, drops what no line took (a call not written).
void OfferCallClock(const CallClock &clock);
void DropCallClock();

// Switches -T and -y on or off, for every thread's next line.
void SetCallViews(bool timed, bool labelled);

}  // namespace nq

#endif
