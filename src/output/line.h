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
#include "platform/os.h"

namespace nq {

// The columns before the text, for a record admitted as a; returns the end.
char *PutLineHead(char *p, const TraceContext *ctx, uint32_t elapsed,
                  const LocalTime &clock, const Admission &a);

// Stores each line feed among the n characters of text as CR LF, in place;
// the room after them must hold one more character per feed (CountFeeds).
// Returns the end.
char *ExpandFeeds(char *text, size_t n);
size_t CountFeeds(const char *text, size_t n);

// The columns after the text; returns the end.
char *PutLineTail(char *p, const Admission &a);

}  // namespace nq

#endif
