// The control exports: a thread switches its own trace on and off, sets
// its file and flags, lends the library its error-code callbacks and adds
// records of its own.
#include <string.h>

#include "control/module_name.h"
#include "control/version.h"
#include "core/context.h"
#include "core/error_bridge.h"
#include "core/reentry.h"
#include "core/thread_state.h"
#include "netquill.h"
#include "output/writer.h"
#include "platform/os.h"

namespace nq {
namespace {

// Picks the slot for a new context: the lowest free one below the mark,
// else the one at the mark. Returns -1 when the table is full. Sets *own to
// the caller's context when it already has one. Runs under the lock.
int ChooseSlot(uint32_t self, TraceContext **own) {
  int free_slot = -1;
  *own = nullptr;
  for (int i = 0; i < g_table.slots_in_use; ++i) {
    TraceContext *slot = g_table.slots[i];
    if (slot == nullptr) {
      if (free_slot < 0) free_slot = i;
    } else if (slot->thread_id == self) {
      *own = slot;
      return i;
    }
  }
  if (free_slot >= 0) return free_slot;
  if (g_table.slots_in_use >= kMaxContexts) return -1;
  return g_table.slots_in_use++;
}

// The module name of a new context, worked out before the lock is taken:
// the system's module-name call takes the loader's lock, which a thread
// that ends holds while it waits for this library's lock to give its
// context back.
void NameNewContext(TraceContext *named) {
  memset(named, 0, sizeof *named);
  if (FindContext() != nullptr) return;  // a nested enable needs no name
  named->thread_id = g_os.thread_id();
  named->module_handle = g_os.main_module();
  DeriveModuleName(named);
}

int EnableLocked(const char *path, uint32_t flags, const TraceContext &named) {
  // A thread without state could not find its context again.
  if (ThisThread() == nullptr) return 0;
  uint32_t self = g_os.thread_id();
  TraceContext *own;
  int slot = ChooseSlot(self, &own);
  if (own != nullptr) {
    // A nested enable keeps the path and flags of the first.
    if (own->nesting >= kMaxNesting) return 0;
    own->nesting++;
    RememberContext(own);
    return 1;
  }
  if (slot < 0) return 0;
  TraceContext *ctx = PoolContext(slot);
  memset(ctx, 0, sizeof *ctx);
  ReadFileSizeLimit();  // the program may have set another since load
  g_table.slots[slot] = ctx;
  SlotsChanged();
  g_table.live.fetch_add(1, std::memory_order_relaxed);
  ctx->thread_id = self;
  ctx->owner = ThisThread();
  ctx->flags = flags;
  ctx->last_tick = g_os.tick_ms();
  ctx->nesting = 1;
  ctx->module_handle = named.module_handle;
  memcpy(ctx->module_name, named.module_name, sizeof ctx->module_name);
  // Named when another context of this thread still stood (freed since by
  // its end, in a forked child): named here after all.
  if (named.thread_id != self) {
    ctx->module_handle = g_os.main_module();
    DeriveModuleName(ctx);
  }
  SetTracePath(ctx, path);
  RememberContext(ctx);
  TraceFormat(TRACE_KIND_PLAIN, "started process 0x%lX trace on %s [%d.%d.%d]",
              static_cast<unsigned long>(self), FormatBannerDate(),
              NQ_VERSION_MAJOR, NQ_VERSION_MINOR, NQ_VERSION_BUILD);
  return 1;
}

int DisableLocked() {
  uint32_t self = g_os.thread_id();
  int index = -1;
  for (int i = 0; i < g_table.slots_in_use; ++i) {
    TraceContext *slot = g_table.slots[i];
    if (slot != nullptr && slot->thread_id == self) {
      index = i;
      break;
    }
  }
  if (index < 0) return 0;
  TraceContext *ctx = g_table.slots[index];
  if (ctx->nesting-- > 1) return 1;
  // The context is still in its slot, so the writer finds it for the banner.
  RememberContext(ctx);
  TraceFormat(TRACE_KIND_PLAIN, "stopped process 0x%lX trace on %s",
              static_cast<unsigned long>(self), FormatBannerDate());
  if (g_table.live.fetch_sub(1, std::memory_order_relaxed) == 1) {
    g_table.slots_in_use = 0;
  }
  g_table.slots[index] = nullptr;
  SlotsChanged();
  FreeContext(ctx);
  return 1;
}

// An enable (step 1) or disable (step -1) from inside the library: the
// context the thread already has is found where its running call left it,
// and only a level above the last may be taken off.
int NestInside(int step) {
  ThreadState *ts = ThisThread();
  TraceContext *ctx = ts->context;
  if (ctx == nullptr || ctx->thread_id != g_os.thread_id()) return 0;
  if (step > 0 ? ctx->nesting >= kMaxNesting : ctx->nesting <= 1) return 0;
  ctx->nesting += step;
  return 1;
}

// Sets one of the calling thread's settings; the value before, 0 without
// a trace.
uint32_t SwapSetting(uint32_t TraceContext::*setting, uint32_t value) {
  TraceContext *ctx = FindContext();
  if (ctx == nullptr) return 0;
  uint32_t previous = ctx->*setting;
  ctx->*setting = value;
  return previous;
}

}  // namespace
}  // namespace nq

using namespace nq;

// Enable and disable hold the lock from start to finish, the banner's file
// output included, so that a context is created or freed as one step and
// the table never shows a half-made one. Called while the thread is inside
// the library already, they only change the nesting count of the context
// the running call uses, without the lock the running call may be taking,
// and never make or free a context.
int NQ_CALL WSAEnableTrace(const char *path, uint32_t flags) {
  if (InsideLibrary(ThisThread())) return NestInside(1);
  ThreadState *ts = EnterLibrary();  // null without state: goes on unmarked
  TraceContext named;
  NameNewContext(&named);
  LockEnter();  // through the start banner: see above
  int result = EnableLocked(path, flags, named);
  LockLeave();
  if (ts != nullptr) LeaveLibrary(ts);
  return result;
}

int NQ_CALL WSADisableTrace(void) {
  if (InsideLibrary(ThisThread())) return NestInside(-1);
  ThreadState *ts = EnterLibrary();
  LockEnter();  // through the stop banner: see above
  int result = DisableLocked();
  LockLeave();
  if (ts != nullptr) LeaveLibrary(ts);
  return result;
}

int NQ_CALL WSAGetTraceUsage(void) { return LiveContexts(); }

// The running call may be writing to the path: from inside it, refused.
int NQ_CALL WSASetTraceFile(const char *path) {
  if (InsideLibrary(ThisThread())) return 0;
  TraceContext *ctx = FindContext();
  if (ctx == nullptr) return 0;
  SetTracePath(ctx, path);
  return 1;
}

int NQ_CALL WSAGetTraceFile(char *buffer, int size) {
  if (buffer == nullptr || size < 1) return 0;
  TraceContext *ctx = FindContext();
  if (ctx == nullptr) return 0;
  size_t n = strnlen(ctx->path, static_cast<size_t>(size) - 1);
  memcpy(buffer, ctx->path, n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

uint32_t NQ_CALL WSASetTraceFlags(uint32_t flags) {
  return SwapSetting(&TraceContext::flags, flags);
}

uint32_t NQ_CALL WSASetTraceDumpLimit(uint32_t limit) {
  return SwapSetting(&TraceContext::dump_limit, limit);
}

uint32_t NQ_CALL WSAGetTraceFlags(void) {
  TraceContext *ctx = FindContext();
  return ctx ? ctx->flags : 0;
}

int NQ_CALL WSASetupTrace(const TraceErrorHooks *hooks) {
  // A missing record is not read; the bridge stays as it was, and the call
  // succeeds as every call of it does.
  if (hooks == nullptr) return 1;
  g_get_error.store(hooks->GetError, std::memory_order_release);
  g_set_error.store(hooks->SetError, std::memory_order_release);
  return 1;
}

// A record written from inside a running call (a callback, a signal
// handler) is dropped: the call's record may be in the buffer it would use.
int NQ_CALL NetQuillWrite(uint32_t kind, const void *text, uint32_t length) {
  ThreadState *ts = EnterLibrary();
  if (ts == nullptr) return 0;
  bool length_known = (kind & TRACE_KIND_DUMP) != 0 || length != 0;
  int result = WriteRecord(FindContext(), kind, text, length, length_known);
  LeaveLibrary(ts);
  return result;
}
