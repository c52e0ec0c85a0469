// The untraced exports: passed on to ws2_32.dll or mswsock.dll as they are,
// each written once by the lists below and in backend.h.
#include "backend.h"

using nqws::Loaded;

namespace {

// An extension that this system's mswsock.dll does not have fails as a
// call the socket library does not support; one without a result returns.
template <typename R, typename F>
R Unsupported(const nqws::Backend &b, F failed) {
  b.ws2.WSASetLastError(WSAEOPNOTSUPP);
  return static_cast<R>(failed);
}

template <>
void Unsupported<void, nqws::NoResult>(const nqws::Backend &, nqws::NoResult) {}

}  // namespace

// The Windows Sockets 1.1 calls NETQUILL does not trace, all in ws2_32.dll
// under the same name: X(name, result, (parameters), (arguments)). An
// entry of the list of calls missing here leaves its export unresolved,
// which stops the link.
#define NQ_WS_PASS_ON(X)                                              \
  X(htonl, u_long, (u_long v), (v))                                   \
  X(htons, u_short, (u_short v), (v))                                 \
  X(ntohl, u_long, (u_long v), (v))                                   \
  X(ntohs, u_short, (u_short v), (v))                                 \
  X(inet_addr, unsigned long, (const char *cp), (cp))                 \
  X(inet_ntoa, char *, (in_addr in), (in))                            \
  X(WSAGetLastError, int, (), ())                                     \
  X(WSASetLastError, void, (int code), (code))                        \
  X(WSAStartup, int, (WORD version, WSADATA * data), (version, data)) \
  X(WSACleanup, int, (), ())                                          \
  X(__WSAFDIsSet, int, (SOCKET s, fd_set * set), (s, set))

extern "C" {

#define NQ_WS_DEFINE(name, result, params, args) \
  result WSAAPI Wsock32_##name params { return Loaded().ws2.name args; }
NQ_WS_PASS_ON(NQ_WS_DEFINE)
#undef NQ_WS_DEFINE

#define NQ_WS_DEFINE(name, result, failed, params, args)              \
  result WSAAPI Wsock32_##name params {                               \
    const nqws::Backend &b = Loaded();                                \
    if (b.ext.name == nullptr) return Unsupported<result>(b, failed); \
    return b.ext.name args;                                           \
  }
NQ_WS_EXTENSIONS(NQ_WS_DEFINE)
#undef NQ_WS_DEFINE

// The exit procedure of 16-bit Windows: nothing has called it since.
int WSAAPI Wsock32_WEP() { return 1; }

// The private interface to the old TCP/IP driver has no counterpart in
// ws2_32.dll or mswsock.dll; programs that used it read the same
// information through the IP helper library today.
DWORD WSAAPI Wsock32_WsControl(DWORD, DWORD, void *, DWORD *, void *, DWORD *) {
  return WSAEOPNOTSUPP;
}

}  // extern "C"
