// Completion routines of overlapped socket calls: the system gets the
// launcher's routine, which writes the completion and then calls the
// program's, remembered by the OVERLAPPED's address in a fixed table.
#ifndef NQ_DROPIN_NETQUILL_RUN_WIN_INJECT_ROUTINES_H
#define NQ_DROPIN_NETQUILL_RUN_WIN_INJECT_ROUTINES_H

#include "inject_state.h"

namespace nqinj {

// A routine remembered for one call: its slot, or -1 when the program's
// routine goes to the system as it is (none given, no OVERLAPPED, no
// completion entry asked for, or the table full).
struct Route {
  int slot = -1;
};

// Remembers the program's routine for ov. The call then hands the system
// RoutineFor(route, routine) in its place.
Route RememberRoutine(LPWSAOVERLAPPED ov,
                      LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);

// The routine for the system to call: the launcher's when remembered.
LPWSAOVERLAPPED_COMPLETION_ROUTINE RoutineFor(
    Route route, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);

// A call that failed at once queues no routine: its slot is freed.
void ForgetRoutine(Route route);

// GetAddrInfoExW's completion routine (LPLOOKUPSERVICE_COMPLETION_ROUTINE,
// remembered as the others are) goes to the system as the launcher's
// lookup routine, which waits for LookupIssued before it writes the
// completion: the lookup may complete on another thread at once.
void *LookupRoutineFor(Route route, void *routine);
void LookupIssued(Route route);

}  // namespace nqinj

#endif  // NQ_DROPIN_NETQUILL_RUN_WIN_INJECT_ROUTINES_H
