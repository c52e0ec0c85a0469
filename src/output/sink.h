// Where a composed record goes: one append to the thread's trace file.
#ifndef NQ_OUTPUT_SINK_H
#define NQ_OUTPUT_SINK_H

#include <stddef.h>

#include "core/context.h"

namespace nq {

// Room on the stack for a record: every call line, and a dump of some 700
// bytes. A longer record is composed in the context's scratch buffer. With
// the rest of a frame it stays under a page, which spares the frame the
// stack probe that Windows wants before a page is skipped.
constexpr size_t kStackRecord = 3840;

// Hands size bytes at data to ctx's trace file in one append. The default
// file lies in a directory that other users share, so it is opened with
// the care that asks for. Returns 1 when every byte reached the file.
int AppendRecord(const TraceContext *ctx, const void *data, size_t size);

}  // namespace nq

#endif
