// Per-thread trace contexts and the process-wide table that holds them.
#ifndef NQ_CORE_CONTEXT_H
#define NQ_CORE_CONTEXT_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>

namespace nq {

struct ThreadState;

constexpr int kMaxContexts = 128;
constexpr size_t kModuleNameSize = 64;
constexpr size_t kTracePathSize = 256;
// Enables a thread may nest; the one past it is refused rather than let
// the count wrap and a later disable free a context still in use.
constexpr int32_t kMaxNesting = INT32_MAX;

// One tracing thread's record. Only the owning thread touches its fields;
// other threads read thread_id, under LibraryLock, while they scan.
struct TraceContext {
  uint32_t thread_id;                 // owner; the key of every lookup
  uintptr_t module_handle;            // main module at enable time, 0 if none
  uint32_t flags;                     // TRACE_FLAG_* bits
  uint32_t last_tick;                 // tick of the last text line written
  int32_t nesting;                    // enables not yet matched by a disable
  int32_t failed;                     // the call being traced failed
  char module_name[kModuleNameSize];  // heads each text line
  char path[kTracePathSize];          // the trace file
  int32_t default_path;               // path is the default: append_owned
  const void *owner;                  // state of the thread that made it
  char *scratch;                      // record buffer for long records
  size_t scratch_size;                //   and its size in bytes
};

struct ContextTable {
  TraceContext *slots[kMaxContexts];  // null marks a free slot
  int slots_in_use;                   // high-water mark of used slots
  std::atomic<int> live;              // allocated contexts
  std::atomic<uint32_t> generation;   // moves on at every change of a slot
};

extern ContextTable g_table;

// The calling thread's context, or null.
TraceContext *FindContext();

// The same for a thread whose state the caller already holds.
TraceContext *FindContextOf(ThreadState *ts);

// Number of live contexts, read without the lock (the hooks' guard).
inline int LiveContexts() {
  return g_table.live.load(std::memory_order_relaxed);
}

// Called, under the lock, after every change of a slot: a thread that
// found no context of its own looks again only after one.
inline void SlotsChanged() {
  g_table.generation.fetch_add(1, std::memory_order_release);
}

// Makes ctx the calling thread's remembered context (null forgets it).
// False when the thread has no state to remember it in.
bool RememberContext(TraceContext *ctx);

// Gives back ctx and its buffers; it must no longer be in the table.
void FreeContext(TraceContext *ctx);

// Frees the calling thread's context, if it has one, without a stop banner:
// the thread ends, and the system may give its id to a new thread, which
// must not inherit the trace.
void FreeEndingThreadContext();

// Frees every context without a stop banner (dynamic unload only).
void FreeAllContexts();

// Sets ctx's path to path, or to the default when path is null or empty.
void SetTracePath(TraceContext *ctx, const char *path);

// Returns a buffer of at least size bytes owned by ctx, or null.
char *ContextScratch(TraceContext *ctx, size_t size);

// The current local date and time as MM-DD-YYYY hh:mm:ss, in one static
// buffer; callers hold LibraryLock.
const char *FormatBannerDate();

}  // namespace nq

#endif
