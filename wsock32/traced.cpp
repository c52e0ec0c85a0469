// The 36 traced calls: each makes the call through ws2_32.dll and hands the
// result and the arguments to NETQUILL's hook, which returns the result and
// leaves the error code as ws2_32.dll left it.
#include <string.h>

#include "backend.h"
#include "views.h"

namespace nqws {
namespace {

// Windows Sockets 1.1 numbered the IP-level options differently from 2.0;
// ws2_32.dll knows only the new numbers. From IP_MULTICAST_IF (2) to
// IP_DONTFRAGMENT (9); other values are passed on unchanged.
int Ws2IpOption(int level, int optname) {
  static const int kWs2[] = {9, 10, 11, 12, 13, 4, 3, 14};
  if (level != IPPROTO_IP || optname < 2 || optname > 9) return optname;
  return kWs2[optname - 2];
}

// A hook prints the first 8 bytes of an address it is given (family, port
// and IPv4 address). Where the call says fewer of the program's bytes are
// valid (the smaller of the length before and after the call), the hook
// gets a zero-filled copy of those instead: the program's buffer may end
// there, and its bytes and length stay untouched.
constexpr int kShownBytes = 8;

sockaddr *Shown(sockaddr *addr, const int *len, int before, sockaddr *copy) {
  if (addr == nullptr) return nullptr;
  int valid = len != nullptr && *len < before ? *len : before;
  if (valid >= kShownBytes) return addr;
  memset(copy, 0, sizeof *copy);
  if (valid > 0) memcpy(copy, addr, static_cast<size_t>(valid));
  return copy;
}

int LengthOf(const sockaddr *addr, const int *len) {
  return addr != nullptr && len != nullptr ? *len : 0;
}

}  // namespace
}  // namespace nqws

using nqws::LengthOf;
using nqws::Shown;
using nqws::Traced;

// Every traced call has the same shape: the call, timed when calls are,
// then its hook if any, which writes the line with the call's clock.
#define NQ_WS_TRACE(name, result, ...) \
  (b.hooks.name ? (timed.Ended(), b.hooks.name(result, __VA_ARGS__)) : result)
#define NQ_WS_TRACE0(name, result) \
  (b.hooks.name ? (timed.Ended(), b.hooks.name(result)) : result)

extern "C" {

SOCKET WSAAPI Wsock32_accept(SOCKET s, sockaddr *addr, int *addrlen) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  int before = LengthOf(addr, addrlen);
  SOCKET r = b.ws2.accept(s, addr, addrlen);
  sockaddr copy;
  return NQ_WS_TRACE(accept, r, s, Shown(addr, addrlen, before, &copy),
                     addrlen);
}

int WSAAPI Wsock32_bind(SOCKET s, const sockaddr *name, int namelen) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  int r = b.ws2.bind(s, name, namelen);
  return NQ_WS_TRACE(bind, r, s, name, namelen);
}

int WSAAPI Wsock32_closesocket(SOCKET s) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  int r = b.ws2.closesocket(s);
  return NQ_WS_TRACE(closesocket, r, s);
}

int WSAAPI Wsock32_connect(SOCKET s, const sockaddr *name, int namelen) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  int r = b.ws2.connect(s, name, namelen);
  return NQ_WS_TRACE(connect, r, s, name, namelen);
}

int WSAAPI Wsock32_getpeername(SOCKET s, sockaddr *name, int *namelen) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  int before = LengthOf(name, namelen);
  int r = b.ws2.getpeername(s, name, namelen);
  sockaddr copy;
  return NQ_WS_TRACE(getpeername, r, s, Shown(name, namelen, before, &copy),
                     namelen);
}

int WSAAPI Wsock32_getsockname(SOCKET s, sockaddr *name, int *namelen) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  int before = LengthOf(name, namelen);
  int r = b.ws2.getsockname(s, name, namelen);
  sockaddr copy;
  return NQ_WS_TRACE(getsockname, r, s, Shown(name, namelen, before, &copy),
                     namelen);
}

// The trace shows the option as the program named it.
int WSAAPI Wsock32_getsockopt(SOCKET s, int level, int optname, char *optval,
                              int *optlen) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  int r = b.ws2.getsockopt(s, level, nqws::Ws2IpOption(level, optname), optval,
                           optlen);
  return NQ_WS_TRACE(getsockopt, r, s, level, optname, optval, optlen);
}

int WSAAPI Wsock32_ioctlsocket(SOCKET s, long cmd, u_long *argp) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  int r = b.ws2.ioctlsocket(s, cmd, argp);
  return NQ_WS_TRACE(ioctlsocket, r, s, cmd, argp);
}

int WSAAPI Wsock32_listen(SOCKET s, int backlog) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  int r = b.ws2.listen(s, backlog);
  return NQ_WS_TRACE(listen, r, s, backlog);
}

int WSAAPI Wsock32_recv(SOCKET s, char *buf, int len, int flags) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  int r = b.ws2.recv(s, buf, len, flags);
  return NQ_WS_TRACE(recv, r, s, buf, len, flags);
}

int WSAAPI Wsock32_recvfrom(SOCKET s, char *buf, int len, int flags,
                            sockaddr *from, int *fromlen) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  int before = LengthOf(from, fromlen);
  int r = b.ws2.recvfrom(s, buf, len, flags, from, fromlen);
  sockaddr copy;
  return NQ_WS_TRACE(recvfrom, r, s, buf, len, flags,
                     Shown(from, fromlen, before, &copy), fromlen);
}

int WSAAPI Wsock32_select(int nfds, fd_set *readfds, fd_set *writefds,
                          fd_set *exceptfds, const timeval *timeout) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  // Some SDKs declare the time-out without const; it is only read.
  int r = b.ws2.select(nfds, readfds, writefds, exceptfds,
                       const_cast<timeval *>(timeout));
  return NQ_WS_TRACE(select, r, nfds, readfds, writefds, exceptfds, timeout);
}

int WSAAPI Wsock32_send(SOCKET s, const char *buf, int len, int flags) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  int r = b.ws2.send(s, buf, len, flags);
  return NQ_WS_TRACE(send, r, s, buf, len, flags);
}

int WSAAPI Wsock32_sendto(SOCKET s, const char *buf, int len, int flags,
                          const sockaddr *to, int tolen) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  int r = b.ws2.sendto(s, buf, len, flags, to, tolen);
  return NQ_WS_TRACE(sendto, r, s, buf, len, flags, to, tolen);
}

int WSAAPI Wsock32_setsockopt(SOCKET s, int level, int optname,
                              const char *optval, int optlen) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  int r = b.ws2.setsockopt(s, level, nqws::Ws2IpOption(level, optname), optval,
                           optlen);
  return NQ_WS_TRACE(setsockopt, r, s, level, optname, optval, optlen);
}

int WSAAPI Wsock32_shutdown(SOCKET s, int how) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  int r = b.ws2.shutdown(s, how);
  return NQ_WS_TRACE(shutdown, r, s, how);
}

SOCKET WSAAPI Wsock32_socket(int af, int type, int protocol) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  SOCKET r = b.ws2.socket(af, type, protocol);
  return NQ_WS_TRACE(socket, r, af, type, protocol);
}

hostent *WSAAPI Wsock32_gethostbyaddr(const char *addr, int len, int type) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  hostent *r = b.ws2.gethostbyaddr(addr, len, type);
  return NQ_WS_TRACE(gethostbyaddr, r, addr, len, type);
}

hostent *WSAAPI Wsock32_gethostbyname(const char *name) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  hostent *r = b.ws2.gethostbyname(name);
  return NQ_WS_TRACE(gethostbyname, r, name);
}

protoent *WSAAPI Wsock32_getprotobyname(const char *name) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  protoent *r = b.ws2.getprotobyname(name);
  return NQ_WS_TRACE(getprotobyname, r, name);
}

protoent *WSAAPI Wsock32_getprotobynumber(int number) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  protoent *r = b.ws2.getprotobynumber(number);
  return NQ_WS_TRACE(getprotobynumber, r, number);
}

servent *WSAAPI Wsock32_getservbyname(const char *name, const char *proto) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  servent *r = b.ws2.getservbyname(name, proto);
  return NQ_WS_TRACE(getservbyname, r, name, proto);
}

servent *WSAAPI Wsock32_getservbyport(int port, const char *proto) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  servent *r = b.ws2.getservbyport(port, proto);
  return NQ_WS_TRACE(getservbyport, r, port, proto);
}

int WSAAPI Wsock32_gethostname(char *name, int namelen) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  int r = b.ws2.gethostname(name, namelen);
  return NQ_WS_TRACE(gethostname, r, name, namelen);
}

int WSAAPI Wsock32_WSAAsyncSelect(SOCKET s, HWND wnd, u_int msg, long events) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  int r = b.ws2.WSAAsyncSelect(s, wnd, msg, events);
  return NQ_WS_TRACE(WSAAsyncSelect, r, s, wnd, msg, events);
}

HANDLE WSAAPI Wsock32_WSAAsyncGetHostByAddr(HWND wnd, u_int msg,
                                            const char *addr, int len, int type,
                                            char *buf, int buflen) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  HANDLE r =
      b.ws2.WSAAsyncGetHostByAddr(wnd, msg, addr, len, type, buf, buflen);
  return NQ_WS_TRACE(WSAAsyncGetHostByAddr, r, wnd, msg, addr, len, type, buf,
                     buflen);
}

HANDLE WSAAPI Wsock32_WSAAsyncGetHostByName(HWND wnd, u_int msg,
                                            const char *name, char *buf,
                                            int buflen) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  HANDLE r = b.ws2.WSAAsyncGetHostByName(wnd, msg, name, buf, buflen);
  return NQ_WS_TRACE(WSAAsyncGetHostByName, r, wnd, msg, name, buf, buflen);
}

HANDLE WSAAPI Wsock32_WSAAsyncGetProtoByNumber(HWND wnd, u_int msg, int number,
                                               char *buf, int buflen) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  HANDLE r = b.ws2.WSAAsyncGetProtoByNumber(wnd, msg, number, buf, buflen);
  return NQ_WS_TRACE(WSAAsyncGetProtoByNumber, r, wnd, msg, number, buf,
                     buflen);
}

HANDLE WSAAPI Wsock32_WSAAsyncGetProtoByName(HWND wnd, u_int msg,
                                             const char *name, char *buf,
                                             int buflen) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  HANDLE r = b.ws2.WSAAsyncGetProtoByName(wnd, msg, name, buf, buflen);
  return NQ_WS_TRACE(WSAAsyncGetProtoByName, r, wnd, msg, name, buf, buflen);
}

HANDLE WSAAPI Wsock32_WSAAsyncGetServByPort(HWND wnd, u_int msg, int port,
                                            const char *proto, char *buf,
                                            int buflen) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  HANDLE r = b.ws2.WSAAsyncGetServByPort(wnd, msg, port, proto, buf, buflen);
  return NQ_WS_TRACE(WSAAsyncGetServByPort, r, wnd, msg, port, proto, buf,
                     buflen);
}

HANDLE WSAAPI Wsock32_WSAAsyncGetServByName(HWND wnd, u_int msg,
                                            const char *name, const char *proto,
                                            char *buf, int buflen) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  HANDLE r = b.ws2.WSAAsyncGetServByName(wnd, msg, name, proto, buf, buflen);
  return NQ_WS_TRACE(WSAAsyncGetServByName, r, wnd, msg, name, proto, buf,
                     buflen);
}

int WSAAPI Wsock32_WSACancelAsyncRequest(HANDLE task) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  int r = b.ws2.WSACancelAsyncRequest(task);
  return NQ_WS_TRACE(WSACancelAsyncRequest, r, task);
}

FARPROC WSAAPI Wsock32_WSASetBlockingHook(FARPROC hook) {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  FARPROC r = b.ws2.WSASetBlockingHook(hook);
  return NQ_WS_TRACE(WSASetBlockingHook, r, hook);
}

int WSAAPI Wsock32_WSAUnhookBlockingHook() {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  int r = b.ws2.WSAUnhookBlockingHook();
  return NQ_WS_TRACE0(WSAUnhookBlockingHook, r);
}

int WSAAPI Wsock32_WSACancelBlockingCall() {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  int r = b.ws2.WSACancelBlockingCall();
  return NQ_WS_TRACE0(WSACancelBlockingCall, r);
}

BOOL WSAAPI Wsock32_WSAIsBlocking() {
  const nqws::Backend &b = Traced();
  nqws::TimedCall timed;
  BOOL r = b.ws2.WSAIsBlocking();
  return NQ_WS_TRACE0(WSAIsBlocking, r);
}

}  // extern "C"
