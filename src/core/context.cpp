// The context table and the lookup of the calling thread's context.
#include "core/context.h"

#include <string.h>

#include "core/thread_state.h"
#include "platform/os.h"

namespace nq {

ContextTable g_table;

namespace {
TraceContext g_pool[kMaxContexts];
}

TraceContext *PoolContext(int slot) { return &g_pool[slot]; }

// A thread without state has no context.
TraceContext *FindContext() {
  ThreadState *ts = ThisThread();
  return ts ? FindContextOf(ts) : nullptr;
}

TraceContext *ScanForContext(ThreadState *ts, uint32_t self) {
  TraceContext *ctx = nullptr;
  // Held for the scan alone, as the slots change only under the lock; the
  // caller uses the context after it is released, so no record is ever
  // written with the lock held.
  LockEnter();
  uint32_t generation = g_table.generation.load(std::memory_order_relaxed);
  for (int i = 0; i < g_table.slots_in_use; ++i) {
    TraceContext *slot = g_table.slots[i];
    if (slot != nullptr && slot->thread_id == self) {
      ctx = slot;
      break;
    }
  }
  LockLeave();
  ts->context = ctx;
  ts->scanned_id = self;
  ts->scanned_generation = generation;
  return ctx;
}

bool RememberContext(TraceContext *ctx) {
  ThreadState *ts = ThisThread();
  if (ts == nullptr) return false;
  ts->context = ctx;
  return true;
}

void FreeContext(TraceContext *ctx) {
  ThreadState *ts = ThisThread();
  if (ts != nullptr && ts->context == ctx) ts->context = nullptr;
  g_os.release(ctx->scratch);
  ctx->scratch = nullptr;
  ctx->scratch_size = 0;
  ctx->thread_id = 0;  // no thread's remembered pointer matches it now
}

// The context is known by the state of the thread that made it: while that
// thread lives no other has the same state, whatever ids the system hands
// out.
void FreeEndingThreadContext() {
  if (LiveContexts() <= 0) return;
  const ThreadState *self = ThisThread();
  if (self == nullptr) return;
  LockEnter();
  for (int i = 0; i < g_table.slots_in_use; ++i) {
    TraceContext *slot = g_table.slots[i];
    if (slot != nullptr && slot->owner == self) {
      g_table.slots[i] = nullptr;
      if (g_table.live.fetch_sub(1, std::memory_order_relaxed) == 1) {
        g_table.slots_in_use = 0;
      }
      FreeContext(slot);
      break;
    }
  }
  LockLeave();
}

void FreeAllContexts() {
  // Only a dynamic unload gets here, when no thread may still be inside the
  // library; the lock keeps the rule that slots change only under it. No
  // file is touched: these contexts get no stop banner.
  LockEnter();
  for (int i = 0; i < g_table.slots_in_use; ++i) {
    if (g_table.slots[i] != nullptr) FreeContext(g_table.slots[i]);
    g_table.slots[i] = nullptr;
  }
  g_table.slots_in_use = 0;
  g_table.live.store(0, std::memory_order_relaxed);
  SlotsChanged();
  LockLeave();
}

void SetTracePath(TraceContext *ctx, const char *path) {
  ctx->default_path = path == nullptr || path[0] == '\0';
  if (!ctx->default_path) {
    size_t n = strnlen(path, kTracePathSize - 1);
    memcpy(ctx->path, path, n);
    ctx->path[n] = '\0';
    return;
  }
  static const char kDefaultName[] = "NQSPOOL.LOG";
  char dir[kTracePathSize];
  size_t n = g_os.temp_dir(dir, sizeof dir);
  bool separated = n > 0 && dir[n - 1] == kPathSeparator;
  size_t total = n + (separated || n == 0 ? 0 : 1) + sizeof kDefaultName - 1;
  // Without a temporary directory, or when it leaves no room for the name,
  // the file goes to the current directory rather than to a cut path.
  if (n == 0 || total > kTracePathSize - 1) {
    memcpy(ctx->path, kDefaultName, sizeof kDefaultName);
    return;
  }
  memcpy(ctx->path, dir, n);
  if (!separated) ctx->path[n++] = kPathSeparator;
  memcpy(ctx->path + n, kDefaultName, sizeof kDefaultName);
}

char *ContextScratch(TraceContext *ctx, size_t size, size_t keep) {
  if (ctx->scratch_size >= size) return ctx->scratch;
  size_t grown = ctx->scratch_size ? ctx->scratch_size : 16384;
  while (grown < size) grown *= 2;
  char *block = static_cast<char *>(g_os.alloc(grown));
  if (block == nullptr) return nullptr;
  if (keep != 0) memcpy(block, ctx->scratch, keep);
  g_os.release(ctx->scratch);
  ctx->scratch = block;
  ctx->scratch_size = grown;
  return block;
}

}  // namespace nq
