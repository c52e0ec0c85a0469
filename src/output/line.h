// The text line of a record: module name, clock, elapsed time, tag, text,
// the error code of errors and warnings, CR LF.
#ifndef NQ_OUTPUT_LINE_H
#define NQ_OUTPUT_LINE_H

// A header of the output floor: a file below it must not include it.
#if NQ_FLOOR < 3
#error "src/output/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stddef.h>
#include <stdint.h>

#include "core/admission.h"
#include "core/context.h"
#include "core/thread_state.h"
#include "platform/os.h"

namespace nq {

// The columns before the text, for a record admitted as a; returns the end.
// A timed call (notes) shows its start, to the microsecond, in place of
// the clock.
char *PutLineHead(char *p, const TraceContext *ctx, uint32_t elapsed,
                  const LocalTime &clock, const Admission &a,
                  const CallNotes *notes = nullptr);

// Stores each line feed among the n characters of text as CR LF, in place;
// the room after them must hold one more character per feed (CountFeeds).
// Returns the end.
char *ExpandFeeds(char *text, size_t n);
size_t CountFeeds(const char *text, size_t n);

// The columns after the text, with a timed call's duration; returns the end.
char *PutLineTail(char *p, const Admission &a,
                  const CallNotes *notes = nullptr);

// The most characters a socket's label takes in a line, brackets included.
constexpr size_t kSocketLabelMax = 160;

// What a launcher says a socket is, "<TCP:[127.0.0.1:80->...]>", into out
// (kSocketLabelMax bytes, terminator included); its length, 0 for a number
// that is no socket or of which nothing is known. Null: no labels, as the
// library's own hooks have it.
extern size_t (*g_socket_label)(intptr_t socket, char *out);

// Puts the labels of g_socket_label in the n characters of a call's text:
// after its first argument, "name(7, ...", unless the call's first
// argument is a count or family (select, socket, socketpair), and after the
// result of a call that makes a socket ("accept(...) returned 8"), where
// the room after them (room characters in all) holds them; returns the new
// length.
size_t PutSocketLabels(char *text, size_t n, size_t room);

}  // namespace nq

#endif
