// Hex dumps of the bytes a call moved, the trace's dump records.
#ifndef NQ_OUTPUT_DUMP_H
#define NQ_OUTPUT_DUMP_H

// A header of the output floor: a file below it must not include it.
#if NQ_FLOOR < 3
#error "src/output/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stddef.h>

#include "core/context.h"

namespace nq {

// Appends length bytes at data to ctx's trace as dump lines, after the
// head_size bytes of text at head (the call line whose data they are, or
// nothing): all in one append up to 16 MiB of dump text, so no other
// record can land between a line and its dump; a larger dump goes on in
// appends of that size. Returns 1 when every append succeeded; an empty
// dump still opens and closes the file, as any record does.
int WriteDump(TraceContext *ctx, const unsigned char *data, size_t length,
              const char *head = nullptr, size_t head_size = 0);

// One buffer of a gathered call (laid out as the system's iovec).
struct DumpPiece {
  const void *data;
  size_t size;
};

// The same for the first length bytes of the count pieces, dumped as one
// run of lines across them, without a copy of the data.
int WriteDumpPieces(TraceContext *ctx, const DumpPiece *pieces, size_t count,
                    size_t length, const char *head = nullptr,
                    size_t head_size = 0);

// Builds full lines from the tables also where the processor has the
// vector path (tables true), or leaves the choice to the processor again,
// so tests reach the path that older processors take. The attach makes the
// first choice (false). Call it while no dump is being written; the
// shipped library exports nothing of it.
void UseTableDump(bool tables);

}  // namespace nq

#endif
