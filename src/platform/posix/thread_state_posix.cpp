// POSIX per-thread state: one thread-local record, and a thread key whose
// destructor tells the library that the thread ends.
#include <errno.h>
#include <pthread.h>
#include <string.h>

#include <atomic>

#include "control/frame.h"
#include "core/thread_state.h"

namespace nq {
namespace {

// Plain data, zero at thread start and without a destructor of its own, so
// every access is a bare thread-local address.
thread_local ThreadState t_state;

pthread_key_t g_key;
// Generation of the live key, 0 while there is none. A thread registers
// with the key of the generation it sees; the unload deletes the key, so a
// thread that ends after the library's code is gone calls nothing.
std::atomic<uint32_t> g_key_generation{0};
uint32_t g_last_generation;  // changed only at attach and detach

void OnThreadEnd(void *) { ThreadEnding(); }

void Register(ThreadState *ts, uint32_t generation) {
  ts->registered = generation;
  // The value only has to be non-null for the destructor to run. The call
  // may allocate, which may set errno.
  int saved = errno;
  pthread_setspecific(g_key, ts);
  errno = saved;
}

}  // namespace

bool ThreadStatesCreate() {
  // The state itself needs no key; without one, threads that end are not
  // told, which costs nothing but the early release. A load cannot fail.
  if (pthread_key_create(&g_key, OnThreadEnd) != 0) return true;
  if (++g_last_generation == 0) ++g_last_generation;
  g_key_generation.store(g_last_generation, std::memory_order_release);
  return true;
}

void ThreadStatesDelete(bool) {
  // Always, also at exit: a library unloaded by dlclose runs only this, and
  // a key left behind would call into unmapped code when a thread ends.
  if (g_key_generation.exchange(0, std::memory_order_acq_rel) != 0) {
    pthread_key_delete(g_key);
  }
}

ThreadState *ThisThread() {
  ThreadState *ts = &t_state;
  uint32_t generation = g_key_generation.load(std::memory_order_acquire);
  if (__builtin_expect(ts->registered != generation, 0) && generation != 0) {
    Register(ts, generation);
  }
  return ts;
}

void ReleaseThisThread() {
  // The storage itself goes with the thread; what it held is forgotten, so
  // a call later in the thread's end starts afresh and registers again.
  memset(&t_state, 0, sizeof t_state);
}

}  // namespace nq
