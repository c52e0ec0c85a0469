// The socket functions of the C library, interposed: each calls the real
// function, then hands the result and the arguments to NETQUILL's hook with
// errno as the error code. close() and ioctl() of a socket are traced as
// closesocket() and ioctlsocket(), accept4() as accept(). The data calls
// and name lookups that the Windows socket API lacks are in data_calls.cpp
// and name_lookups.cpp.
#include <errno.h>
#include <netdb.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "entries/posix_entries.h"
#include "interposer.h"
#include "netquill.h"
#include "preload_state.h"

namespace nqrun {
namespace {

int NQ_CALL GetErrno() { return errno; }
void NQ_CALL SetErrno(int code) { errno = code; }

__attribute__((constructor)) void InstallBridge() {
  TraceErrorHooks bridge = {GetErrno, SetErrno};
  WSASetupTrace(&bridge);
}

}  // namespace
}  // namespace nqrun

extern "C" {

NQ_EXPORT int socket(int af, int type, int protocol) noexcept {
  NQ_REAL(socket);
  nqrun::EnterSocketCall();
  int r = real(af, type, protocol);
  if (r >= 0) nqrun::MarkSocket(r);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(socket, r, TX_socket(r, af, type, protocol));
}

NQ_EXPORT int accept(int s, sockaddr *addr, socklen_t *addrlen) {
  NQ_REAL(accept);
  nqrun::EnterSocketCall();
  nqrun::OutAddress out(addr, addrlen);
  int r = real(s, addr, addrlen);
  if (r >= 0) nqrun::MarkSocket(r);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(
      accept, r,
      NQX_accept(r, s, out.Copy(r, addrlen), addrlen, out.Valid(r, addrlen)));
}

NQ_EXPORT int accept4(int s, sockaddr *addr, socklen_t *addrlen, int flags) {
  NQ_REAL(accept4);
  nqrun::EnterSocketCall();
  nqrun::OutAddress out(addr, addrlen);
  int r = real(s, addr, addrlen, flags);
  if (r >= 0) nqrun::MarkSocket(r);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(
      accept, r,
      NQX_accept(r, s, out.Copy(r, addrlen), addrlen, out.Valid(r, addrlen)));
}

NQ_EXPORT int bind(int s, const sockaddr *name, socklen_t namelen) noexcept {
  NQ_REAL(bind);
  nqrun::EnterSocketCall();
  int r = real(s, name, namelen);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(bind, r, TX_bind(r, s, name, namelen));
}

NQ_EXPORT int close(int fd) {
  NQ_REAL(close);
  NQ_PASS_INSIDE(real(fd));
  NQP_ReleaseHeldNumber(fd);
  nqrun::ForgetDescriptor(fd);
  if (!nqrun::IsTracedSocket(fd)) return real(fd);
  nqrun::EnterSocketCall();
  // Forgotten while the number is still ours: once it is given back,
  // another thread's socket() may get it at once, and its mark must stand.
  // Linux frees the number whatever close() returns.
  nqrun::ForgetSocket(fd);
  int r = real(fd);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(closesocket, r, TX_closesocket(r, fd));
}

// A file the program puts at the held trace file's number takes it from
// the records first.
NQ_EXPORT int dup2(int oldfd, int newfd) noexcept {
  NQ_REAL(dup2);
  NQ_PASS_INSIDE(real(oldfd, newfd));
  if (oldfd != newfd) NQP_ReleaseHeldNumber(newfd);
  return real(oldfd, newfd);
}

NQ_EXPORT int dup3(int oldfd, int newfd, int flags) noexcept {
  NQ_REAL(dup3);
  NQ_PASS_INSIDE(real(oldfd, newfd, flags));
  if (oldfd != newfd) NQP_ReleaseHeldNumber(newfd);
  return real(oldfd, newfd, flags);
}

NQ_EXPORT int connect(int s, const sockaddr *name, socklen_t namelen) {
  NQ_REAL(connect);
  nqrun::EnterSocketCall();
  int r = real(s, name, namelen);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(connect, r, TX_connect(r, s, name, namelen));
}

NQ_EXPORT int getpeername(int s, sockaddr *name, socklen_t *namelen) noexcept {
  NQ_REAL(getpeername);
  nqrun::EnterSocketCall();
  nqrun::OutAddress out(name, namelen);
  int r = real(s, name, namelen);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(getpeername, r,
                 NQX_getpeername(r, s, out.Copy(r, namelen), namelen,
                                 out.Valid(r, namelen)));
}

NQ_EXPORT int getsockname(int s, sockaddr *name, socklen_t *namelen) noexcept {
  NQ_REAL(getsockname);
  nqrun::EnterSocketCall();
  nqrun::OutAddress out(name, namelen);
  int r = real(s, name, namelen);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(getsockname, r,
                 NQX_getsockname(r, s, out.Copy(r, namelen), namelen,
                                 out.Valid(r, namelen)));
}

NQ_EXPORT int getsockopt(int s, int level, int optname, void *optval,
                         socklen_t *optlen) noexcept {
  NQ_REAL(getsockopt);
  nqrun::EnterSocketCall();
  int r = real(s, level, optname, optval, optlen);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(getsockopt, r,
                 TX_getsockopt(r, s, level, optname, optval, optlen));
}

// ioctl's third argument is one word when there is one; the requests a
// socket takes pass a pointer or nothing.
NQ_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept {
  NQ_REAL(ioctl);
  va_list args;
  va_start(args, request);
  void *argp = va_arg(args, void *);
  va_end(args);
  NQ_PASS_INSIDE(real(fd, request, argp));
  if (!nqrun::IsTracedSocket(fd)) return real(fd, request, argp);
  nqrun::EnterSocketCall();
  int r = real(fd, request, argp);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(ioctlsocket, r,
                 TX_ioctlsocket(r, fd, static_cast<long>(request),
                                static_cast<unsigned long *>(argp)));
}

NQ_EXPORT int listen(int s, int backlog) noexcept {
  NQ_REAL(listen);
  nqrun::EnterSocketCall();
  int r = real(s, backlog);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(listen, r, TX_listen(r, s, backlog));
}

NQ_EXPORT ssize_t recv(int s, void *buf, size_t len, int flags) {
  NQ_REAL(recv);
  nqrun::EnterSocketCall();
  ssize_t r = real(s, buf, len, flags);
  nqrun::NoteDataSocket(s);
  nqrun::NoDumpScope discarded(r > 0 && nqrun::DiscardsBytes(s, flags));
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(recv, r, TX_recv(r, s, buf, len, flags));
}

// Programs built with _FORTIFY_SOURCE call these checked forms instead; the
// C library's recv() is never reached through the program's own call.
NQ_EXPORT ssize_t __recv_chk(int s, void *buf, size_t len, size_t buflen,
                             int flags) {
  using Fn = ssize_t (*)(int, void *, size_t, size_t, int);
  static const auto real =
      reinterpret_cast<Fn>(nqrun::NextSymbol("__recv_chk"));
  nqrun::EnterSocketCall();
  ssize_t r = real(s, buf, len, buflen, flags);
  nqrun::NoteDataSocket(s);
  nqrun::NoDumpScope discarded(r > 0 && nqrun::DiscardsBytes(s, flags));
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(recv, r, TX_recv(r, s, buf, len, flags));
}

NQ_EXPORT ssize_t __recvfrom_chk(int s, void *buf, size_t len, size_t buflen,
                                 int flags, sockaddr *from,
                                 socklen_t *fromlen) {
  using Fn =
      ssize_t (*)(int, void *, size_t, size_t, int, sockaddr *, socklen_t *);
  static const auto real =
      reinterpret_cast<Fn>(nqrun::NextSymbol("__recvfrom_chk"));
  nqrun::EnterSocketCall();
  nqrun::OutAddress out(from, fromlen);
  ssize_t r = real(s, buf, len, buflen, flags, from, fromlen);
  nqrun::NoDumpScope discarded(r > 0 && nqrun::DiscardsBytes(s, flags));
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(recvfrom, r,
                 NQX_recvfrom(r, s, buf, len, flags, out.Copy(r, fromlen),
                              fromlen, out.Valid(r, fromlen)));
}

NQ_EXPORT ssize_t recvfrom(int s, void *buf, size_t len, int flags,
                           sockaddr *from, socklen_t *fromlen) {
  NQ_REAL(recvfrom);
  nqrun::EnterSocketCall();
  nqrun::OutAddress out(from, fromlen);
  ssize_t r = real(s, buf, len, flags, from, fromlen);
  nqrun::NoDumpScope discarded(r > 0 && nqrun::DiscardsBytes(s, flags));
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(recvfrom, r,
                 NQX_recvfrom(r, s, buf, len, flags, out.Copy(r, fromlen),
                              fromlen, out.Valid(r, fromlen)));
}

NQ_EXPORT int select(int nfds, fd_set *readfds, fd_set *writefds,
                     fd_set *exceptfds, timeval *timeout) {
  NQ_REAL(select);
  nqrun::EnterSocketCall();
  // Linux writes the time left into the program's timeout: the line shows
  // the one the program passed. The C library's select reads the timeout
  // itself, before the kernel sees it (it hands the kernel a 64-bit copy),
  // so reading it here reads nothing the call does not; the sets are never
  // read.
  timeval asked = {0, 0};
  if (timeout != nullptr) asked = *timeout;
  int r = real(nfds, readfds, writefds, exceptfds, timeout);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(select, r,
                 TX_select(r, nfds, readfds, writefds, exceptfds,
                           timeout != nullptr ? &asked : nullptr));
}

NQ_EXPORT ssize_t send(int s, const void *buf, size_t len, int flags) {
  NQ_REAL(send);
  nqrun::EnterSocketCall();
  ssize_t r = real(s, buf, len, flags);
  if (nqrun::Detached()) return r;
  nqrun::NoteDataSocket(s);
  nqrun::LibraryScope scope;
  return NQ_HOOK(send, r, TX_send(r, s, buf, len, flags));
}

NQ_EXPORT ssize_t sendto(int s, const void *buf, size_t len, int flags,
                         const sockaddr *to, socklen_t tolen) {
  NQ_REAL(sendto);
  nqrun::EnterSocketCall();
  ssize_t r = real(s, buf, len, flags, to, tolen);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(sendto, r, TX_sendto(r, s, buf, len, flags, to, tolen));
}

NQ_EXPORT int setsockopt(int s, int level, int optname, const void *optval,
                         socklen_t optlen) noexcept {
  NQ_REAL(setsockopt);
  nqrun::EnterSocketCall();
  int r = real(s, level, optname, optval, optlen);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(setsockopt, r,
                 TX_setsockopt(r, s, level, optname, optval, optlen));
}

NQ_EXPORT int shutdown(int s, int how) noexcept {
  NQ_REAL(shutdown);
  nqrun::EnterSocketCall();
  int r = real(s, how);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(shutdown, r, TX_shutdown(r, s, how));
}

NQ_EXPORT hostent *gethostbyaddr(const void *addr, socklen_t len, int type) {
  NQ_REAL(gethostbyaddr);
  nqrun::EnterSocketCall();
  hostent *r = real(addr, len, type);
  nqrun::LookupCode code(r == nullptr ? nqrun::HostCode() : 0);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(gethostbyaddr, r,
                 TX_gethostbyaddr(r, static_cast<const char *>(addr),
                                  static_cast<int>(len), type));
}

NQ_EXPORT hostent *gethostbyname(const char *name) {
  NQ_REAL(gethostbyname);
  nqrun::EnterSocketCall();
  hostent *r = real(name);
  nqrun::LookupCode code(r == nullptr ? nqrun::HostCode() : 0);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(gethostbyname, r, TX_gethostbyname(r, name));
}

NQ_EXPORT protoent *getprotobyname(const char *name) {
  NQ_REAL(getprotobyname);
  nqrun::EnterSocketCall();
  protoent *r = real(name);
  nqrun::LookupCode code(r == nullptr ? nqrun::kNoData : 0);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(getprotobyname, r, TX_getprotobyname(r, name));
}

NQ_EXPORT protoent *getprotobynumber(int number) {
  NQ_REAL(getprotobynumber);
  nqrun::EnterSocketCall();
  protoent *r = real(number);
  nqrun::LookupCode code(r == nullptr ? nqrun::kNoData : 0);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(getprotobynumber, r, TX_getprotobynumber(r, number));
}

NQ_EXPORT servent *getservbyname(const char *name, const char *proto) {
  NQ_REAL(getservbyname);
  nqrun::EnterSocketCall();
  servent *r = real(name, proto);
  nqrun::LookupCode code(r == nullptr ? nqrun::kNoData : 0);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(getservbyname, r, TX_getservbyname(r, name, proto));
}

NQ_EXPORT servent *getservbyport(int port, const char *proto) {
  NQ_REAL(getservbyport);
  nqrun::EnterSocketCall();
  servent *r = real(port, proto);
  nqrun::LookupCode code(r == nullptr ? nqrun::kNoData : 0);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(getservbyport, r, TX_getservbyport(r, port, proto));
}

NQ_EXPORT int gethostname(char *name, size_t namelen) noexcept {
  NQ_REAL(gethostname);
  nqrun::EnterSocketCall();
  int r = real(name, namelen);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(gethostname, r, TX_gethostname(r, name, namelen));
}

}  // extern "C"
