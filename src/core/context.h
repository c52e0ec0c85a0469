// Per-thread trace contexts and the process-wide table that holds them.
#ifndef NQ_CORE_CONTEXT_H
#define NQ_CORE_CONTEXT_H

// A header of the core floor: a file below it must not include it.
#if NQ_FLOOR < 2
#error "src/core/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "core/thread_state.h"
#include "platform/os.h"

namespace nq {

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
  uint32_t dump_limit;                // bytes a dump shows at most; 0: all
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

// Number of live contexts, read without the lock (the hooks' guard).
inline int LiveContexts() {
  return g_table.live.load(std::memory_order_relaxed);
}

// The lookup of FindContextOf past what the thread remembers: a scan of
// the table under the lock.
TraceContext *ScanForContext(ThreadState *ts, uint32_t self);

// The calling thread's context for a thread whose state ts the caller
// already holds. Its own context is remembered in its state, so that a
// lookup does not scan the table under the lock for every record. Only
// the owning thread frees a context and it clears this first, so the
// pointer stays valid; the thread id check turns it away in a forked
// child, whose thread has a new id. A thread without a context, the common
// case while others trace, scans again only when a slot has changed since
// its last scan for this id.
inline TraceContext *FindContextOf(ThreadState *ts) {
  uint32_t self = g_os.thread_id();
  TraceContext *ctx = ts->context;
  if (ctx == nullptr && ts->scanned_id == self &&
      ts->scanned_generation ==
          g_table.generation.load(std::memory_order_acquire)) {
    return nullptr;
  }
  if (ctx != nullptr && ctx->thread_id == self) return ctx;
  return ScanForContext(ts, self);
}

// Called, under the lock, after every change of a slot: a thread that
// found no context of its own looks again only after one.
inline void SlotsChanged() {
  g_table.generation.fetch_add(1, std::memory_order_release);
}

// Makes ctx the calling thread's remembered context (null forgets it).
// False when the thread has no state to remember it in.
bool RememberContext(TraceContext *ctx);

// The context of slot: contexts live in a static pool, one per slot, so
// that making one allocates nothing (an enable may run in a signal
// handler) and cannot fail for memory.
TraceContext *PoolContext(int slot);

// Gives back ctx's buffers; it must no longer be in the table.
void FreeContext(TraceContext *ctx);

// Frees the calling thread's context, if it has one, without a stop banner:
// the thread ends, and the system may give its id to a new thread, which
// must not inherit the trace.
void FreeEndingThreadContext();

// In a forked child: frees every context but the calling (forking)
// thread's, without banners, and gives that one the thread's new id
// (fork_posix.cpp: systems with fork only).
void KeepForkingThreadOnly();

// Frees every context without a stop banner (dynamic unload only).
void FreeAllContexts();

// Sets ctx's path to path, or to the default when path is null or empty.
void SetTracePath(TraceContext *ctx, const char *path);

// Returns a buffer of at least size bytes owned by ctx, or null (and then
// the buffer it had stays). A grown buffer starts with the first keep bytes
// of the one it replaces.
char *ContextScratch(TraceContext *ctx, size_t size, size_t keep = 0);

// The current local date and time as MM-DD-YYYY hh:mm:ss, in one static
// buffer; callers hold LibraryLock.
const char *FormatBannerDate();

}  // namespace nq

#endif
