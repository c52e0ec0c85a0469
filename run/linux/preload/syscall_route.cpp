// The socket calls a program makes through syscall(), sent the way of the
// C library's functions, which this library interposes: the call is made
// and traced as if the program had called the function by its name.
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "interposer.h"

namespace nqrun {
namespace {

template <typename T>
T Arg(long word) {
  return (T)word;  // a system call's words are integers and pointers alike
}

}  // namespace

bool RouteSyscall(long number, const long a[6], long *result) {
  switch (number) {
    case SYS_close:
      *result = close(Arg<int>(a[0]));
      return true;
    case SYS_socket:
      *result = socket(Arg<int>(a[0]), Arg<int>(a[1]), Arg<int>(a[2]));
      return true;
    case SYS_socketpair:
      *result = socketpair(Arg<int>(a[0]), Arg<int>(a[1]), Arg<int>(a[2]),
                           Arg<int *>(a[3]));
      return true;
    case SYS_accept:
      *result =
          accept(Arg<int>(a[0]), Arg<sockaddr *>(a[1]), Arg<socklen_t *>(a[2]));
      return true;
    case SYS_accept4:
      *result = accept4(Arg<int>(a[0]), Arg<sockaddr *>(a[1]),
                        Arg<socklen_t *>(a[2]), Arg<int>(a[3]));
      return true;
    case SYS_bind:
      *result = bind(Arg<int>(a[0]), Arg<const sockaddr *>(a[1]),
                     Arg<socklen_t>(a[2]));
      return true;
    case SYS_connect:
      *result = connect(Arg<int>(a[0]), Arg<const sockaddr *>(a[1]),
                        Arg<socklen_t>(a[2]));
      return true;
    case SYS_listen:
      *result = listen(Arg<int>(a[0]), Arg<int>(a[1]));
      return true;
    case SYS_shutdown:
      *result = shutdown(Arg<int>(a[0]), Arg<int>(a[1]));
      return true;
    case SYS_getsockname:
      *result = getsockname(Arg<int>(a[0]), Arg<sockaddr *>(a[1]),
                            Arg<socklen_t *>(a[2]));
      return true;
    case SYS_getpeername:
      *result = getpeername(Arg<int>(a[0]), Arg<sockaddr *>(a[1]),
                            Arg<socklen_t *>(a[2]));
      return true;
    case SYS_getsockopt:
      *result = getsockopt(Arg<int>(a[0]), Arg<int>(a[1]), Arg<int>(a[2]),
                           Arg<void *>(a[3]), Arg<socklen_t *>(a[4]));
      return true;
    case SYS_setsockopt:
      *result = setsockopt(Arg<int>(a[0]), Arg<int>(a[1]), Arg<int>(a[2]),
                           Arg<const void *>(a[3]), Arg<socklen_t>(a[4]));
      return true;
    case SYS_sendto:
      *result = sendto(Arg<int>(a[0]), Arg<const void *>(a[1]),
                       Arg<size_t>(a[2]), Arg<int>(a[3]),
                       Arg<const sockaddr *>(a[4]), Arg<socklen_t>(a[5]));
      return true;
    case SYS_recvfrom:
      *result = recvfrom(Arg<int>(a[0]), Arg<void *>(a[1]), Arg<size_t>(a[2]),
                         Arg<int>(a[3]), Arg<sockaddr *>(a[4]),
                         Arg<socklen_t *>(a[5]));
      return true;
    case SYS_sendmsg:
      *result =
          sendmsg(Arg<int>(a[0]), Arg<const msghdr *>(a[1]), Arg<int>(a[2]));
      return true;
    case SYS_recvmsg:
      *result = recvmsg(Arg<int>(a[0]), Arg<msghdr *>(a[1]), Arg<int>(a[2]));
      return true;
    case SYS_sendmmsg:
      *result = sendmmsg(Arg<int>(a[0]), Arg<mmsghdr *>(a[1]),
                         Arg<unsigned>(a[2]), Arg<int>(a[3]));
      return true;
    case SYS_recvmmsg:
      *result =
          recvmmsg(Arg<int>(a[0]), Arg<mmsghdr *>(a[1]), Arg<unsigned>(a[2]),
                   Arg<int>(a[3]), Arg<timespec *>(a[4]));
      return true;
    case SYS_read:
      *result = read(Arg<int>(a[0]), Arg<void *>(a[1]), Arg<size_t>(a[2]));
      return true;
    case SYS_write:
      *result =
          write(Arg<int>(a[0]), Arg<const void *>(a[1]), Arg<size_t>(a[2]));
      return true;
    case SYS_readv:
      *result = readv(Arg<int>(a[0]), Arg<const iovec *>(a[1]), Arg<int>(a[2]));
      return true;
    case SYS_writev:
      *result =
          writev(Arg<int>(a[0]), Arg<const iovec *>(a[1]), Arg<int>(a[2]));
      return true;
    default:
      return false;
  }
}

}  // namespace nqrun
