// The socket calls a program makes through syscall(), sent the way of the
// C library's functions, which this library interposes: the call is made
// and traced as if the program had called the function by its name. The
// system calls so routed are the list's (NQ_ROUTED_CALLS); each function's
// own declaration says how to read the system call's words.
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <utility>

#include "interposer.h"
#include "netquill_calls.h"

namespace nqrun {
namespace {

template <typename T>
T Arg(long word) {
  return (T)word;  // a system call's words are integers and pointers alike
}

// fn called with the words of a, each read as fn's argument of its place.
template <typename Fn, typename R, typename... A, size_t... I>
long CallWith(Fn fn, const long a[6], std::index_sequence<I...>) {
  return static_cast<long>(fn(Arg<A>(a[I])...));
}

template <typename R, typename... A>
long CallWith(R (*fn)(A...), const long a[6]) {
  static_assert(sizeof...(A) <= 6, "a system call has six words");
  return CallWith<R (*)(A...), R, A...>(fn, a, std::index_sequence_for<A...>{});
}

// The functions the C library declares as throwing nothing.
template <typename R, typename... A>
long CallWith(R (*fn)(A...) noexcept, const long a[6]) {
  static_assert(sizeof...(A) <= 6, "a system call has six words");
  return CallWith<R (*)(A...) noexcept, R, A...>(
      fn, a, std::index_sequence_for<A...>{});
}

}  // namespace

bool RouteSyscall(long number, const long a[6], long *result) {
  switch (number) {
#define NQ_ROUTE(name, ...)         \
  case SYS_##name:                  \
    *result = CallWith(&::name, a); \
    return true;
    NQ_ROUTED_CALLS(NQ_ROUTE)
#undef NQ_ROUTE
    default:
      return false;
  }
}

}  // namespace nqrun
