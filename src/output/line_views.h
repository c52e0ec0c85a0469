// The editing of a call line that -T and -y ask for, on the line alone:
// the call's start to the microsecond in place of the clock, its duration
// at the end, each socket's label after its number. It reads nothing of
// the library's state, so that what shows these views outside the library
// (netquill-run's entries, the drop-in WSOCK32.DLL) edits its lines with
// the same code as the library's own views.
#ifndef NQ_OUTPUT_LINE_VIEWS_H
#define NQ_OUTPUT_LINE_VIEWS_H

// A header of the output floor: a file below it must not include it.
#if NQ_FLOOR < 3
#error "src/output/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stddef.h>
#include <stdint.h>

#include "netquill.h"

namespace nq {

// The most characters a socket's label takes in a line, brackets included.
constexpr size_t kSocketLabelMax = 160;

// What a socket is, "<TCP:[127.0.0.1:80->...]>", into out (kSocketLabelMax
// bytes, terminator included); its length, 0 for a number that is no
// socket or of which nothing is known.
using SocketLabelFn = size_t (*)(intptr_t socket, char *out);

// A call's start (the second of the local day, 0 to 86399, and the
// microsecond in it) and the time it took.
struct CallTimes {
  uint32_t start_second;
  uint32_t start_micro;
  uint32_t took_seconds;
  uint32_t took_micros;
};

// What the writer hands each call line to, when set: the line of n
// characters at line, CR LF included, whose text starts at text_at and
// whose clock ("HHMMSS") at clock_at, in room bytes; its new length.
// A plain C callback, so that a module apart from the library can install
// one (NETQUILL.DLL's NetQuillSetLineViews).
using CallLineViews = size_t(NQ_CALL *)(char *line, size_t text_at,
                                        size_t clock_at, size_t n, size_t room);

// Puts the labels of label in the n characters of a call's text: after its
// first argument, "name(7, ...", unless the call's first argument is a
// count or family (select, socket, ...), and after the result of a call
// that makes a socket ("accept(...) returned 8"), where the room after
// them (room characters in all) holds them; returns the new length.
size_t PutSocketLabels(char *text, size_t n, size_t room, SocketLabelFn label);

// The call line as CallLineViews has it, with the labels of label (null:
// none) and the start and duration of times (null: the clock stays); its
// new length.
size_t EditCallLine(char *line, size_t text_at, size_t clock_at, size_t n,
                    size_t room, const CallTimes *times, SocketLabelFn label);

}  // namespace nq

#endif
