// Each thread's stack bounds, noted once where the C library may be called
// freely, and the check that a pointer lies on the live part of the stack.
#include "thread_stacks.h"

#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>

#include "netquill.h"
#include "preload_state.h"

namespace nqrun {
namespace {

// [low, high) of the calling thread's stack; both 0 while unknown.
__attribute__((tls_model("initial-exec"))) thread_local uintptr_t t_stack_low;
__attribute__((tls_model("initial-exec"))) thread_local uintptr_t t_stack_high;

struct ThreadStart {
  void *(*routine)(void *);
  void *arg;
};

void *StartThread(void *given) {
  ThreadStart start = *static_cast<ThreadStart *>(given);
  free(given);
  NoteThisThreadsStack();
  return start.routine(start.arg);
}

}  // namespace

void NoteThisThreadsStack() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void *low = nullptr;
  size_t size = 0;
  if (pthread_attr_getstack(&attr, &low, &size) == 0 && low != nullptr) {
    t_stack_low = reinterpret_cast<uintptr_t>(low);
    t_stack_high = t_stack_low + size;
  }
  pthread_attr_destroy(&attr);
}

__attribute__((noinline)) bool OnLiveStack(const void *from, size_t size) {
  // This function's frame lies below every frame of its callers: what is
  // above it, up to the top, is mapped while they live. Below the current
  // frame the main thread's stack may not be mapped yet.
  uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  uintptr_t at = reinterpret_cast<uintptr_t>(from);
  return here >= t_stack_low && here < t_stack_high && at >= here &&
         at < t_stack_high && size <= t_stack_high - at;
}

}  // namespace nqrun

extern "C" {

// Each thread the program creates notes its stack as it starts. Without
// memory for the note the thread starts as it would.
NQ_EXPORT int pthread_create(pthread_t *thread, const pthread_attr_t *attr,
                             void *(*routine)(void *), void *arg) noexcept {
  static const auto real = reinterpret_cast<decltype(&::pthread_create)>(
      nqrun::NextSymbol("pthread_create"));
  auto *start =
      static_cast<nqrun::ThreadStart *>(malloc(sizeof(nqrun::ThreadStart)));
  if (start == nullptr) return real(thread, attr, routine, arg);
  *start = {routine, arg};
  int result = real(thread, attr, nqrun::StartThread, start);
  if (result != 0) free(start);
  return result;
}

}  // extern "C"
