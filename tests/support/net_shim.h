/* The little that differs between Winsock and POSIX sockets for the
 * programs of this tree that make real socket calls (the tests, the
 * benchmarks and the demo): start-up, closing, the invalid handle and the
 * socket error code with its accessors. C and C++. The program links its
 * socket library itself (ws2_32 or wsock32 on Windows), so these calls go
 * where its own socket calls go. */
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

#ifdef __cplusplus
}
#endif

#endif /* NQ_TESTS_SUPPORT_NET_SHIM_H */
