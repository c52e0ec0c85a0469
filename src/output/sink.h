// Where a composed record goes: one append to the thread's trace file.
#ifndef NQ_OUTPUT_SINK_H
#define NQ_OUTPUT_SINK_H

#include <stddef.h>

#include "core/context.h"

namespace nq {

// Room on the stack for a record: every call line, and a dump of some 800
// bytes. A longer record is composed in the context's scratch buffer.
constexpr size_t kStackRecord = 4096;

// Hands size bytes at data to ctx's trace file in one append. The default
// file lies in a directory that other users share, so it is opened with
// the care that asks for. Returns 1 when every byte reached the file.
int AppendRecord(const TraceContext *ctx, const void *data, size_t size);

}  // namespace nq

#endif
