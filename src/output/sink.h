// Where a composed record goes: one append to the thread's trace file.
#ifndef NQ_OUTPUT_SINK_H
#define NQ_OUTPUT_SINK_H

// A header of the output floor: a file below it must not include it.
#if NQ_FLOOR < 3
#error "src/output/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stddef.h>

#include "core/context.h"

namespace nq {

// Room for a record: every call line, and a dump of some 700 bytes. Where
// a hook may run on a small signal stack (kSmallHandlerStacks) every record
// is composed in the context's scratch buffer, so that a handler on an
// 8 KiB alternate stack fits beside the system's own frames; elsewhere such
// a record is composed on the stack, where it stays under a page with the
// rest of its frame and so spares it the stack probe Windows wants.
constexpr size_t kStackRecord = 3840;

// Hands size bytes at data to ctx's trace file in one append. The default
// file lies in a directory that other users share, so it is opened with
// the care that asks for. Returns 1 when every byte reached the file, 0
// when none did, -1 when only some did (a full disk).
int AppendPart(const TraceContext *ctx, const void *data, size_t size);

// AppendPart's way once some file is cut (internal to the sink).
int AppendAfterCut(const TraceContext *ctx, const void *data, size_t size);

// Marks the file at path as ending in a cut line: the next record this
// process appends there first ends it, so that it starts a line of its
// own. Returns 0, the result of a record that did not go out whole.
int MarkCut(const char *path);

// AppendPart, with a record that went out in part marked and counted as
// not written: 1 when every byte reached the file.
inline int AppendRecord(const TraceContext *ctx, const void *data,
                        size_t size) {
  int written = AppendPart(ctx, data, size);
  return __builtin_expect(written < 0, 0) ? MarkCut(ctx->path) : written;
}

}  // namespace nq

#endif
