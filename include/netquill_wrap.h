/*
 * netquill_wrap.h - traced socket calls in one name.
 *
 * For each traced socket function, an inline function that makes the socket
 * call in the caller's own code and hands its result and arguments to the
 * matching hook:
 *
 *     nq_connect(s, addr, len)  ==  TX_connect(connect(s, addr, len), s, addr,
 * len)
 *
 * The result is the socket call's, unchanged, and the caller's socket error
 * code is the one the call left (the hook hands it back through the callbacks
 * given to WSASetupTrace, and the library's own file output never disturbs
 * it). NETQUILL itself still never calls the socket library: these functions
 * are compiled into the caller. Header only; C99 and C++.
 *
 * On POSIX, closesocket and ioctlsocket map to close and ioctl, and the
 * Windows-only calls (WSAAsync*, the blocking hooks) are not provided. In
 * strict C modes (-std=c99), define _POSIX_C_SOURCE 200809L before any
 * include, as for any program that uses the POSIX socket calls.
 */
#ifndef NETQUILL_WRAP_H
#define NETQUILL_WRAP_H

#include "netquill.h"

#if !defined(_WIN32)
#include <sys/ioctl.h>
#include <unistd.h>
#endif

/* Each translation unit gets its own copy; nothing is exported. */
#define NQ_WRAP static inline

#ifdef __cplusplus
extern "C" {
#endif

NQ_WRAP NQ_SOCKET nq_accept(NQ_SOCKET s, struct sockaddr *addr,
                            NQ_SOCKLEN *addrlen) {
  return TX_accept(accept(s, addr, addrlen), s, addr, addrlen);
}

NQ_WRAP int nq_bind(NQ_SOCKET s, const struct sockaddr *name,
                    NQ_SOCKLEN namelen) {
  return TX_bind(bind(s, name, namelen), s, name, namelen);
}

NQ_WRAP int nq_closesocket(NQ_SOCKET s) {
#if defined(_WIN32)
  return TX_closesocket(closesocket(s), s);
#else
  return TX_closesocket(close(s), s);
#endif
}

NQ_WRAP int nq_connect(NQ_SOCKET s, const struct sockaddr *name,
                       NQ_SOCKLEN namelen) {
  return TX_connect(connect(s, name, namelen), s, name, namelen);
}

NQ_WRAP int nq_getpeername(NQ_SOCKET s, struct sockaddr *name,
                           NQ_SOCKLEN *namelen) {
  return TX_getpeername(getpeername(s, name, namelen), s, name, namelen);
}

NQ_WRAP int nq_getsockname(NQ_SOCKET s, struct sockaddr *name,
                           NQ_SOCKLEN *namelen) {
  return TX_getsockname(getsockname(s, name, namelen), s, name, namelen);
}

NQ_WRAP int nq_getsockopt(NQ_SOCKET s, int level, int optname,
                          NQ_OPTVAL *optval, NQ_SOCKLEN *optlen) {
  return TX_getsockopt(getsockopt(s, level, optname, optval, optlen), s, level,
                       optname, optval, optlen);
}

NQ_WRAP int nq_ioctlsocket(NQ_SOCKET s, long cmd, NQ_IOCTLARG *argp) {
#if defined(_WIN32)
  return TX_ioctlsocket(ioctlsocket(s, cmd, argp), s, cmd, argp);
#else
  return TX_ioctlsocket(ioctl(s, (unsigned long)cmd, argp), s, cmd, argp);
#endif
}

NQ_WRAP int nq_listen(NQ_SOCKET s, int backlog) {
  return TX_listen(listen(s, backlog), s, backlog);
}

NQ_WRAP NQ_IORESULT nq_recv(NQ_SOCKET s, NQ_IOBUF *buf, NQ_IOLEN len,
                            int flags) {
  return TX_recv(recv(s, buf, len, flags), s, buf, len, flags);
}

NQ_WRAP NQ_IORESULT nq_recvfrom(NQ_SOCKET s, NQ_IOBUF *buf, NQ_IOLEN len,
                                int flags, struct sockaddr *from,
                                NQ_SOCKLEN *fromlen) {
  return TX_recvfrom(recvfrom(s, buf, len, flags, from, fromlen), s, buf, len,
                     flags, from, fromlen);
}

NQ_WRAP int nq_select(int nfds, fd_set *readfds, fd_set *writefds,
                      fd_set *exceptfds, struct timeval *timeout) {
  return TX_select(select(nfds, readfds, writefds, exceptfds, timeout), nfds,
                   readfds, writefds, exceptfds, timeout);
}

NQ_WRAP NQ_IORESULT nq_send(NQ_SOCKET s, const NQ_IOBUF *buf, NQ_IOLEN len,
                            int flags) {
  return TX_send(send(s, buf, len, flags), s, buf, len, flags);
}

NQ_WRAP NQ_IORESULT nq_sendto(NQ_SOCKET s, const NQ_IOBUF *buf, NQ_IOLEN len,
                              int flags, const struct sockaddr *to,
                              NQ_SOCKLEN tolen) {
  return TX_sendto(sendto(s, buf, len, flags, to, tolen), s, buf, len, flags,
                   to, tolen);
}

NQ_WRAP int nq_setsockopt(NQ_SOCKET s, int level, int optname,
                          const NQ_OPTVAL *optval, NQ_SOCKLEN optlen) {
  return TX_setsockopt(setsockopt(s, level, optname, optval, optlen), s, level,
                       optname, optval, optlen);
}

NQ_WRAP int nq_shutdown(NQ_SOCKET s, int how) {
  return TX_shutdown(shutdown(s, how), s, how);
}

NQ_WRAP NQ_SOCKET nq_socket(int af, int type, int protocol) {
  return TX_socket(socket(af, type, protocol), af, type, protocol);
}

NQ_WRAP struct hostent *nq_gethostbyaddr(const char *addr, int len, int type) {
  return TX_gethostbyaddr(gethostbyaddr(addr, len, type), addr, len, type);
}

NQ_WRAP struct hostent *nq_gethostbyname(const char *name) {
  return TX_gethostbyname(gethostbyname(name), name);
}

NQ_WRAP struct protoent *nq_getprotobyname(const char *name) {
  return TX_getprotobyname(getprotobyname(name), name);
}

NQ_WRAP struct protoent *nq_getprotobynumber(int number) {
  return TX_getprotobynumber(getprotobynumber(number), number);
}

NQ_WRAP struct servent *nq_getservbyname(const char *name, const char *proto) {
  return TX_getservbyname(getservbyname(name, proto), name, proto);
}

NQ_WRAP struct servent *nq_getservbyport(int port, const char *proto) {
  return TX_getservbyport(getservbyport(port, proto), port, proto);
}

NQ_WRAP int nq_gethostname(char *name, NQ_IOLEN namelen) {
  return TX_gethostname(gethostname(name, namelen), name, namelen);
}

#if defined(_WIN32)
NQ_WRAP int nq_WSAAsyncSelect(SOCKET s, HWND hWnd, u_int wMsg, long lEvent) {
  return TX_WSAAsyncSelect(WSAAsyncSelect(s, hWnd, wMsg, lEvent), s, hWnd, wMsg,
                           lEvent);
}

NQ_WRAP HANDLE nq_WSAAsyncGetHostByAddr(HWND hWnd, u_int wMsg, const char *addr,
                                        int len, int type, char *buf,
                                        int buflen) {
  return TX_WSAAsyncGetHostByAddr(
      WSAAsyncGetHostByAddr(hWnd, wMsg, addr, len, type, buf, buflen), hWnd,
      wMsg, addr, len, type, buf, buflen);
}

NQ_WRAP HANDLE nq_WSAAsyncGetHostByName(HWND hWnd, u_int wMsg, const char *name,
                                        char *buf, int buflen) {
  return TX_WSAAsyncGetHostByName(
      WSAAsyncGetHostByName(hWnd, wMsg, name, buf, buflen), hWnd, wMsg, name,
      buf, buflen);
}

NQ_WRAP HANDLE nq_WSAAsyncGetProtoByNumber(HWND hWnd, u_int wMsg, int number,
                                           char *buf, int buflen) {
  return TX_WSAAsyncGetProtoByNumber(
      WSAAsyncGetProtoByNumber(hWnd, wMsg, number, buf, buflen), hWnd, wMsg,
      number, buf, buflen);
}

NQ_WRAP HANDLE nq_WSAAsyncGetProtoByName(HWND hWnd, u_int wMsg,
                                         const char *name, char *buf,
                                         int buflen) {
  return TX_WSAAsyncGetProtoByName(
      WSAAsyncGetProtoByName(hWnd, wMsg, name, buf, buflen), hWnd, wMsg, name,
      buf, buflen);
}

NQ_WRAP HANDLE nq_WSAAsyncGetServByPort(HWND hWnd, u_int wMsg, int port,
                                        const char *proto, char *buf,
                                        int buflen) {
  return TX_WSAAsyncGetServByPort(
      WSAAsyncGetServByPort(hWnd, wMsg, port, proto, buf, buflen), hWnd, wMsg,
      port, proto, buf, buflen);
}

NQ_WRAP HANDLE nq_WSAAsyncGetServByName(HWND hWnd, u_int wMsg, const char *name,
                                        const char *proto, char *buf,
                                        int buflen) {
  return TX_WSAAsyncGetServByName(
      WSAAsyncGetServByName(hWnd, wMsg, name, proto, buf, buflen), hWnd, wMsg,
      name, proto, buf, buflen);
}

NQ_WRAP int nq_WSACancelAsyncRequest(HANDLE hAsyncTaskHandle) {
  return TX_WSACancelAsyncRequest(WSACancelAsyncRequest(hAsyncTaskHandle),
                                  hAsyncTaskHandle);
}

NQ_WRAP FARPROC nq_WSASetBlockingHook(FARPROC lpBlockFunc) {
  return TX_WSASetBlockingHook(WSASetBlockingHook(lpBlockFunc), lpBlockFunc);
}

NQ_WRAP int nq_WSAUnhookBlockingHook(void) {
  return TX_WSAUnhookBlockingHook(WSAUnhookBlockingHook());
}

NQ_WRAP int nq_WSACancelBlockingCall(void) {
  return TX_WSACancelBlockingCall(WSACancelBlockingCall());
}

NQ_WRAP BOOL nq_WSAIsBlocking(void) {
  return TX_WSAIsBlocking(WSAIsBlocking());
}
#endif

#ifdef __cplusplus
}
#endif

#undef NQ_WRAP

#endif /* NETQUILL_WRAP_H */
