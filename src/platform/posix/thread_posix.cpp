// POSIX per-thread storage: static thread-local storage, so that a thread's
// first call allocates nothing (it may come from a signal handler), and a
// thread key whose destructor gives notice that the thread ends.
#include <errno.h>
#include <pthread.h>
#include <string.h>

#include <atomic>

#include "platform/posix/thread_posix.h"
#include "platform/thread.h"

namespace nq {
namespace {

// The static TLS this library takes for the block of every thread. A
// library loaded at run time draws it from the small reserve the C library
// keeps for such libraries, so it is a budget of the platform's: a block
// asked for beyond it fails the load.
constexpr size_t kStaticBlockBytes = 1280;

// Plain data, zero at thread start and without a destructor of its own.
// The initial-exec model puts it in the static TLS block that every thread
// has from its start, reached at a fixed offset from the thread pointer,
// where the default model for a shared object would allocate it on the
// thread's first access.
struct PosixThread {
  alignas(16) unsigned char block[kStaticBlockBytes];  // the library's
  PlatformThread platform;
};

__attribute__((tls_model("initial-exec"))) thread_local PosixThread t_thread;

pthread_key_t g_key;
// Generation of the live key, 0 while there is none. A thread registers
// with the key of the generation it sees; the unload deletes the key, so a
// thread that ends after the library's code is gone calls nothing.
std::atomic<uint32_t> g_key_generation{0};
uint32_t g_last_generation;  // changed only at attach and detach
ThreadEndNotice g_on_end;    // set at attach, before any key exists

void OnThreadEnd(void *) {
  if (g_on_end != nullptr) g_on_end();
}

void Register(PlatformThread *pt, uint32_t generation) {
  pt->registered = generation;
  // The value only has to be non-null for the destructor to run. The call
  // may allocate, which may set errno.
  int saved = errno;
  pthread_setspecific(g_key, pt);
  errno = saved;
}

}  // namespace

bool ThreadBlocksCreate(size_t block_size, ThreadEndNotice on_end) {
  if (block_size > kStaticBlockBytes) return false;
  g_on_end = on_end;
  // The storage itself needs no key; without one, threads that end are not
  // told, which costs nothing but the early release. A load cannot fail.
  if (pthread_key_create(&g_key, OnThreadEnd) != 0) return true;
  if (++g_last_generation == 0) ++g_last_generation;
  g_key_generation.store(g_last_generation, std::memory_order_release);
  return true;
}

void ThreadBlocksDelete(bool) {
  // Always, also at exit: a library unloaded by dlclose runs only this, and
  // a key left behind would call into unmapped code when a thread ends.
  if (g_key_generation.exchange(0, std::memory_order_acq_rel) != 0) {
    pthread_key_delete(g_key);
  }
}

PlatformThread *ThisPlatformThread() { return &t_thread.platform; }

namespace {

void *TlsBlock() {
  PosixThread *t = &t_thread;
  uint32_t generation = g_key_generation.load(std::memory_order_acquire);
  if (__builtin_expect(t->platform.registered != generation, 0) &&
      generation != 0) {
    Register(&t->platform, generation);
  }
  return t->block;
}

}  // namespace

void *(*g_this_thread_block)() = TlsBlock;

void ReleaseThisThreadBlock() {
  // The storage itself goes with the thread; what it held is forgotten, so
  // a call later in the thread's end starts afresh and registers again.
  memset(t_thread.block, 0, sizeof t_thread.block);
  t_thread.platform.registered = 0;
}

}  // namespace nq
