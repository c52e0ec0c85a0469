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
#include "output/line_views.h"

namespace nq {

// Largest text TraceFormat builds: 1023 characters and the terminator.
constexpr size_t kTraceFormatSize = 1024;

// What a call moved, for its record's dump: the first count bytes of its n
// pieces, read where they lie.
struct DumpOf {
  const DumpPiece *pieces;
  size_t n;
  size_t count;
};

// A traced call's line, formatted printf-style, followed by the dump of
// what moved (null: none), in one append: for a record admitted as a,
// whose line a writes. NQ_CALL_RECORD decides.
void TraceCall(TraceContext *ctx, const Admission &a, const DumpOf *dump,
               const char *format, ...) NQ_PRINTF_LIKE(4, 5);

// What of a call's dump a record admitted as a shows: all of it when a
// asks for dumps and something moved, else none.
inline const DumpOf *ShownDump(const Admission &a, const DumpOf *dump) {
  return a.dump && dump != nullptr && dump->n != 0 ? dump : nullptr;
}

// The one step of every traced call's record, admitted as a: its line
// (TraceCall's format and arguments) when a writes it, with the dump of
// what moved after it when a asks for dumps, in one append; the dump alone
// when only it is admitted; nothing else.
#define NQ_CALL_RECORD(ctx, a, dump, ...)                       \
  do {                                                          \
    const ::nq::DumpOf *nq_shown = ::nq::ShownDump(a, dump);    \
    if ((a).write) {                                            \
      ::nq::TraceCall(ctx, a, nq_shown, __VA_ARGS__);           \
    } else if (nq_shown != nullptr) {                           \
      ::nq::WriteDumpPieces(ctx, nq_shown->pieces, nq_shown->n, \
                            nq_shown->count);                   \
    }                                                           \
  } while (0)

// What a launcher, or the drop-in through NetQuillSetLineViews, adds to
// each call line (output/line_views.h): the line as it lies in a record of
// kStackRecord bytes. Null: call lines stay as they are.
extern CallLineViews g_call_line_views;

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
