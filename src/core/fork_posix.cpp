// What a forked child keeps of the context table (systems with fork).
#include "core/context.h"
#include "core/thread_state.h"
#include "platform/os.h"

namespace nq {

// A forked child has one thread, the copy of the one that forked: every
// other context belongs to a thread the child does not have. Left in the
// table they would fill it (no thread of the child could trace) and, once
// the child's thread ids came round to theirs, hand a new thread a trace
// that is not its own. The forking thread keeps its context under the id
// it has now. Runs in the child's fork handler, with the lock held.
void KeepForkingThreadOnly() {
  const ThreadState *self = ThisThread();
  uint32_t id = g_os.thread_id();
  for (int i = 0; i < g_table.slots_in_use; ++i) {
    TraceContext *slot = g_table.slots[i];
    if (slot == nullptr) continue;
    if (self != nullptr && slot->owner == self) {
      slot->thread_id = id;
      continue;
    }
    g_table.slots[i] = nullptr;
    g_table.live.fetch_sub(1, std::memory_order_relaxed);
    FreeContext(slot);
  }
  if (g_table.live.load(std::memory_order_relaxed) == 0)
    g_table.slots_in_use = 0;
  SlotsChanged();
}

}  // namespace nq
