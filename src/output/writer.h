// The one writer of the trace file: a record is admitted once, composed in
// full (its text line, and the dump of a call's data after it) and handed
// to the sink in one append, so records of other threads and processes
// can never land inside it.
#ifndef NQ_OUTPUT_WRITER_H
#define NQ_OUTPUT_WRITER_H

// A header of the output floor: a file below it must not include it.
#if NQ_FLOOR < 3
#error "src/output/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stddef.h>
#include <stdint.h>

#include "core/admission.h"
#include "core/context.h"
#include "output/dump.h"
#include "output/format.h"

namespace nq {

// Largest text TraceFormat builds: 1023 characters and the terminator.
constexpr size_t kTraceFormatSize = 1024;

// The one step of a traced call's record, admitted as a: its line,
// formatted printf-style, when a writes it, followed by the dump of the
// first count bytes of the n pieces (read where they lie) when a asks for
// dumps, in one append; the dump alone when only it is admitted. n 0: the
// call moved nothing to dump.
void TraceCall(TraceContext *ctx, const Admission &a, const DumpPiece *pieces,
               size_t n, size_t count, const char *format, ...)
    NQ_PRINTF_LIKE(6, 7);

// Whether a record admitted as a writes anything when n pieces moved: the
// callers test it before they set up TraceCall's arguments.
inline bool WritesAnything(const Admission &a, size_t n) {
  return a.write || (a.dump && n != 0);
}

// Formats a text record printf-style and writes it (kind without its dump
// bit), when the calling thread's flags let it through. A null or empty
// format writes nothing.
void TraceFormat(uint32_t kind, const char *format, ...) NQ_PRINTF_LIKE(2, 3);

// A caller's own record (NetQuillWrite): admitted, then written as a text
// line or, for the dump kind, as dump lines. length_known false: the text
// runs to its terminator.
int WriteRecord(TraceContext *ctx, uint32_t kind, const void *data,
                size_t length, bool length_known);

}  // namespace nq

#endif
