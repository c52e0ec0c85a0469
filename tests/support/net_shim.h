/* The one place where the programs of this tree that make real socket
 * calls (the tests, the benchmarks and the demo) meet the difference
 * between Winsock and POSIX: start-up, closing, the invalid handle, the
 * socket error code with its accessors and the codes it takes, the
 * loopback address, non-blocking mode, TCP_NODELAY, and threads. C and
 * C++. The program links its socket library itself (ws2_32 or wsock32 on
 * Windows), so these calls go where its own socket calls go. */
#ifndef NQ_TESTS_SUPPORT_NET_SHIM_H
#define NQ_TESTS_SUPPORT_NET_SHIM_H

#include "netquill.h"

#ifdef __cplusplus
extern "C" {
#endif

/* WSAStartup (version 1.1) and WSACleanup; nothing on POSIX. */
void NqNetStartup(void);
void NqNetCleanup(void);

/* closesocket or close; the call's own result. */
int NqNetClose(NQ_SOCKET s);

/* Non-zero for the invalid handle socket and accept return on failure. */
int NqNetIsInvalid(NQ_SOCKET s);

/* The caller's socket error code right now: WSAGetLastError or errno. */
int NqNetLastError(void);

/* Callbacks that read and set that code, for WSASetupTrace: on Windows
 * WSAGetLastError and WSASetLastError themselves. */
TraceErrorHooks NqNetErrorBridge(void);

/* The codes a refused connect and an empty non-blocking receive leave. */
int NqNetRefusedCode(void);
int NqNetWouldBlockCode(void);

/* 127.0.0.1 at port (0: any port). */
struct sockaddr_in NqNetLoopback(int port);

/* An IPv4 address as the calls take it. */
static inline struct sockaddr *NqNetSa(struct sockaddr_in *sin) {
  return (struct sockaddr *)sin;
}

/* ioctlsocket or ioctl with FIONBIO and *on = 1; the call's own result.
 * FIONBIO reads an int on POSIX: on these little-endian hosts the low
 * bytes of *on. */
int NqNetSetNonBlocking(NQ_SOCKET s, NQ_IOCTLARG *on);

/* The command NqNetSetNonBlocking passes, as TX_ioctlsocket takes it. */
long NqNetNonBlockingCommand(void);

/* TCP_NODELAY, whose header differs; its level is IPPROTO_TCP. */
int NqNetNoDelayOption(void);

/* A thread running fn(arg), joined and freed by NqThreadJoin. */
typedef void (*NqThreadFn)(void *arg);
typedef struct NqThread NqThread;
NqThread *NqThreadStart(NqThreadFn fn, void *arg);
void NqThreadJoin(NqThread *thread);

void NqSleepMs(int ms);

#ifdef __cplusplus
}
#endif

#endif /* NQ_TESTS_SUPPORT_NET_SHIM_H */
