/*
 * netquill_calls.h - NETQUILL's exports and the socket calls they trace,
 * listed once.
 *
 * Every other list of them is made from this one: the module definition of
 * NETQUILL.DLL (written by cmake/Calls.cmake when the build is configured),
 * the drop-in's tables, the trace reader's names and the test scripts'
 * tables. The C declarations (netquill.h, netquill_wrap.h) are held to it
 * by a compiled check among the tests.
 *
 * A list is applied to a macro X(name, ordinal, bytes):
 *   name     the function's name; the hook of a traced call is TX_name
 *   ordinal  its ordinal. A socket function's is the one Windows Sockets 1.1
 *            gives it, and its hook shares it. Names and ordinals are
 *            frozen: callers bind by either, so an ordinal is never moved
 *            or reused.
 *   bytes    what the named function takes on the stack on 32-bit x86,
 *            where __stdcall pops it with "ret $bytes"; a hook takes 4
 *            more, for the result that comes first
 *
 * Plain macros, one entry per line, for C, C++ and the CMake reader alike.
 */
#ifndef NETQUILL_CALLS_H
#define NETQUILL_CALLS_H

/* The traced calls, by ordinal; their hooks hold ordinals 1 to 114. */
#define NQ_TRACED_CALLS(X)             \
  X(accept, 1, 12)                     \
  X(bind, 2, 12)                       \
  X(closesocket, 3, 4)                 \
  X(connect, 4, 12)                    \
  X(getpeername, 5, 12)                \
  X(getsockname, 6, 12)                \
  X(getsockopt, 7, 20)                 \
  X(ioctlsocket, 12, 12)               \
  X(listen, 13, 8)                     \
  X(recv, 16, 16)                      \
  X(recvfrom, 17, 24)                  \
  X(select, 18, 20)                    \
  X(send, 19, 16)                      \
  X(sendto, 20, 24)                    \
  X(setsockopt, 21, 20)                \
  X(shutdown, 22, 8)                   \
  X(socket, 23, 12)                    \
  X(gethostbyaddr, 51, 12)             \
  X(gethostbyname, 52, 4)              \
  X(getprotobyname, 53, 4)             \
  X(getprotobynumber, 54, 4)           \
  X(getservbyname, 55, 8)              \
  X(getservbyport, 56, 8)              \
  X(gethostname, 57, 8)                \
  X(WSAAsyncSelect, 101, 16)           \
  X(WSAAsyncGetHostByAddr, 102, 28)    \
  X(WSAAsyncGetHostByName, 103, 20)    \
  X(WSAAsyncGetProtoByNumber, 104, 20) \
  X(WSAAsyncGetProtoByName, 105, 20)   \
  X(WSAAsyncGetServByPort, 106, 24)    \
  X(WSAAsyncGetServByName, 107, 24)    \
  X(WSACancelAsyncRequest, 108, 4)     \
  X(WSASetBlockingHook, 109, 4)        \
  X(WSAUnhookBlockingHook, 110, 0)     \
  X(WSACancelBlockingCall, 113, 0)     \
  X(WSAIsBlocking, 114, 0)

/* The rest of Windows Sockets 1.1: no hook, and their ordinals carry no
 * entry in NETQUILL.DLL. */
#define NQ_UNTRACED_CALLS(X) \
  X(htonl, 8, 4)             \
  X(htons, 9, 4)             \
  X(inet_addr, 10, 4)        \
  X(inet_ntoa, 11, 4)        \
  X(ntohl, 14, 4)            \
  X(ntohs, 15, 4)            \
  X(WSAGetLastError, 111, 0) \
  X(WSASetLastError, 112, 4) \
  X(WSAStartup, 115, 8)      \
  X(WSACleanup, 116, 0)      \
  X(__WSAFDIsSet, 151, 8)

/* The library's own exports: the shell's version query at 501, the control
 * API and the record writer from 1000. */
#define NQ_LIBRARY_EXPORTS(X)  \
  X(DllGetVersion, 501, 4)     \
  X(WSASetupTrace, 1000, 4)    \
  X(WSAEnableTrace, 1001, 8)   \
  X(WSADisableTrace, 1002, 0)  \
  X(WSAGetTraceUsage, 1003, 0) \
  X(WSASetTraceFile, 1004, 4)  \
  X(WSAGetTraceFile, 1005, 8)  \
  X(WSASetTraceFlags, 1006, 4) \
  X(WSAGetTraceFlags, 1007, 0) \
  X(NetQuillWrite, 1008, 12)

#endif /* NETQUILL_CALLS_H */
