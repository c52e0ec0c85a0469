// getaddrinfo and getnameinfo: what was asked and what came back. A failed
// lookup is tagged with the Windows socket API's name-resolution code; the
// program's errno and h_errno are left as the call left them.
#include "entries/posix_entries.h"
#include "interposer.h"

extern "C" {

NQ_EXPORT int getaddrinfo(const char *node, const char *service,
                          const struct addrinfo *hints, struct addrinfo **res) {
  NQ_REAL(getaddrinfo);
  nqrun::EnterSocketCall();
  int r = real(node, service, hints, res);
  nqrun::LookupCode code(r != 0 ? nqrun::AddrInfoCode(r) : 0);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(getaddrinfo, r,
                 NQX_getaddrinfo(r, node, service,
                                 r == 0 && res != nullptr ? *res : nullptr));
}

NQ_EXPORT int getnameinfo(const struct sockaddr *sa, socklen_t salen,
                          char *host, socklen_t hostlen, char *serv,
                          socklen_t servlen, int flags) {
  NQ_REAL(getnameinfo);
  nqrun::EnterSocketCall();
  int r = real(sa, salen, host, hostlen, serv, servlen, flags);
  nqrun::LookupCode code(r != 0 ? nqrun::AddrInfoCode(r) : 0);
  if (nqrun::Detached()) return r;
  nqrun::LibraryScope scope;
  return NQ_HOOK(getnameinfo, r,
                 NQX_getnameinfo(r, sa, salen, hostlen != 0 ? host : nullptr,
                                 servlen != 0 ? serv : nullptr, flags));
}

}  // extern "C"
