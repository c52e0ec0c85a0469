// What a launcher adds to call lines and the library's own hooks never do:
// the call's start to the microsecond and its duration (netquill-run -T),
// and what each socket in the line is (-y). Off until a launcher switches
// it on; NETQUILL.DLL does not link it, and its lines stay as they are.
#ifndef NQ_OUTPUT_CALL_VIEWS_H
#define NQ_OUTPUT_CALL_VIEWS_H

// A header of the output floor: a file below it must not include it.
#if NQ_FLOOR < 3
#error "src/output/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stddef.h>
#include <stdint.h>

#include "output/line_views.h"

namespace nq {

// What a launcher says a socket is (output/line_views.h). Null: no labels.
extern SocketLabelFn g_socket_label;

// The start (the second of the local day, 0 to 86399, and the microsecond
// in it) and the time it took of the calling thread's call, for the call
// line it writes next, which shows them and forgets them.
void NoteCallTimes(uint32_t start_second, uint32_t start_micro,
                   uint32_t took_seconds, uint32_t took_micros);
// Drops what no line took (a call whose record was not written).
void ForgetCallNotes();

// From now on call lines show the notes and labels above.
void ShowCallViews();

}  // namespace nq

#endif
