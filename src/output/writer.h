// The one writer of the trace file and its two front ends.
#ifndef NQ_OUTPUT_WRITER_H
#define NQ_OUTPUT_WRITER_H

#include <stddef.h>
#include <stdint.h>

#include "core/context.h"
#include "output/dump.h"
#include "output/format.h"

namespace nq {

// Largest text TraceFormat builds: 1023 characters and the terminator.
constexpr size_t kTraceFormatSize = 1024;

// Formats a text record printf-style and writes it (kind without its dump
// bit). A null or empty format writes nothing.
void TraceFormat(uint32_t kind, const char *format, ...) NQ_PRINTF_LIKE(2, 3);

// A traced call's line, formatted as TraceFormat does, and the dump of the
// count bytes at data that the call moved, in one append, so that no other
// record lands between them. Each is admitted on its own by ctx's flags.
void TraceCallAndDump(TraceContext *ctx, const void *data, size_t count,
                      const char *format, ...) NQ_PRINTF_LIKE(4, 5);

// The same for a call that gathered or scattered its data: the first
// length bytes of the count pieces, dumped as one run across them.
void TraceCallAndDumpPieces(TraceContext *ctx, const DumpPiece *pieces,
                            size_t count, size_t length, const char *format,
                            ...) NQ_PRINTF_LIKE(5, 6);

// Whether a record of this kind from ctx would pass admission as things
// stand, so callers can skip formatting one that would be refused.
bool WouldWrite(const TraceContext *ctx, uint32_t kind);

// Hands size bytes at data to ctx's trace file in one append. The default
// file lies in a directory that other users share, so it is opened with
// the care that asks for.
int AppendRecord(const TraceContext *ctx, const void *data, size_t size);

// The writer proper, given the context already found.
int WriteRecord(TraceContext *ctx, uint32_t kind, const void *data,
                size_t length, bool length_known);

}  // namespace nq

#endif
