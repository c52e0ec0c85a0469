// Hooks of the calls that make, name, configure and close sockets.
#include "hooks/hook_common.h"

using namespace nq;

namespace {
const NQ_SOCKET kInvalidSocket = static_cast<NQ_SOCKET>(-1);
}

// accept has no guard: it fetches and hands back the error code also when
// nobody traces.
NQ_SOCKET NQ_CALL TX_accept(NQ_SOCKET result, NQ_SOCKET s,
                            struct sockaddr *addr, NQ_SOCKLEN *addrlen) {
  NQ_TRACE_CALL(result == kInvalidSocket, kNothingMoved,
                "accept(%zd, %s, 0x%zx) %s", Sock(s), FormatSockAddr(addr),
                Ptr(addrlen), FormatIntResult(Sock(result)));
  return result;
}

int NQ_CALL TX_bind(int result, NQ_SOCKET s, const struct sockaddr *name,
                    NQ_SOCKLEN namelen) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == -1, kNothingMoved, "bind(%zd, %s, %d) %s", Sock(s),
                FormatSockAddrOfLength(name, static_cast<int>(namelen)),
                static_cast<int>(namelen), FormatIntResult(result));
  return result;
}

int NQ_CALL TX_closesocket(int result, NQ_SOCKET s) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == -1, kNothingMoved, "closesocket(%zd) %s", Sock(s),
                FormatIntResult(result));
  return result;
}

int NQ_CALL TX_connect(int result, NQ_SOCKET s, const struct sockaddr *name,
                       NQ_SOCKLEN namelen) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == -1, kNothingMoved, "connect(%zd, %s, %d) %s", Sock(s),
                FormatSockAddrOfLength(name, static_cast<int>(namelen)),
                static_cast<int>(namelen), FormatIntResult(result));
  return result;
}

int NQ_CALL TX_getpeername(int result, NQ_SOCKET s, struct sockaddr *name,
                           NQ_SOCKLEN *namelen) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == -1, kNothingMoved, "getpeername(%zd, %s, 0x%zx) %s",
                Sock(s), FormatSockAddr(name), Ptr(namelen),
                FormatIntResult(result));
  return result;
}

int NQ_CALL TX_getsockname(int result, NQ_SOCKET s, struct sockaddr *name,
                           NQ_SOCKLEN *namelen) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == -1, kNothingMoved, "getsockname(%zd, %s, 0x%zx) %s",
                Sock(s), FormatSockAddr(name), Ptr(namelen),
                FormatIntResult(result));
  return result;
}

int NQ_CALL TX_getsockopt(int result, NQ_SOCKET s, int level, int optname,
                          NQ_OPTVAL *optval, NQ_SOCKLEN *optlen) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == -1, kNothingMoved,
                "getsockopt(%zd, %d, %d, 0x%zx, 0x%zx) %s", Sock(s), level,
                optname, Ptr(optval), Ptr(optlen), FormatIntResult(result));
  return result;
}

int NQ_CALL TX_ioctlsocket(int result, NQ_SOCKET s, long cmd,
                           NQ_IOCTLARG *argp) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(
      result == -1, kNothingMoved, "ioctlsocket(%zd, 0x%lx, 0x%zx) %s", Sock(s),
      static_cast<unsigned long>(cmd), Ptr(argp), FormatIntResult(result));
  return result;
}

int NQ_CALL TX_listen(int result, NQ_SOCKET s, int backlog) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == -1, kNothingMoved, "listen(%zd, %d) %s", Sock(s),
                backlog, FormatIntResult(result));
  return result;
}

int NQ_CALL TX_select(int result, int nfds, fd_set *readfds, fd_set *writefds,
                      fd_set *exceptfds, const struct timeval *timeout) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == -1, kNothingMoved,
                "select(%d, 0x%zx, 0x%zx, 0x%zx, %s) %s", nfds, Ptr(readfds),
                Ptr(writefds), Ptr(exceptfds), FormatTimeVal(timeout),
                FormatIntResult(result));
  return result;
}

int NQ_CALL TX_setsockopt(int result, NQ_SOCKET s, int level, int optname,
                          const NQ_OPTVAL *optval, NQ_SOCKLEN optlen) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == -1, kNothingMoved,
                "setsockopt(%zd, %d, %d, 0x%zx, %d) %s", Sock(s), level,
                optname, Ptr(optval), static_cast<int>(optlen),
                FormatIntResult(result));
  return result;
}

int NQ_CALL TX_shutdown(int result, NQ_SOCKET s, int how) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == -1, kNothingMoved, "shutdown(%zd, %d) %s", Sock(s),
                how, FormatIntResult(result));
  return result;
}

NQ_SOCKET NQ_CALL TX_socket(NQ_SOCKET result, int af, int type, int protocol) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == kInvalidSocket, kNothingMoved,
                "socket(%d, %d, %d) %s", af, type, protocol,
                FormatSocketResult(result));
  return result;
}
