/*
 * netquill_calls.h - NETQUILL's exports and the socket calls they trace,
 * listed once.
 *
 * Every other list of them is made from this one: the module definitions
 * of NETQUILL.DLL and of the drop-in WSOCK32.DLL (written by
 * cmake/Calls.cmake when the build is configured, with a plain table of
 * every column for the test scripts), the drop-ins' tables, the trace
 * reader's names and data directions. The C declarations (netquill.h,
 * netquill_wrap.h, netquill_posix.h) are held to it by a compiled check
 * among the tests.
 *
 * Each list is applied to a macro X; its columns, where a list has them:
 *   name     the function's name; the hook of a traced call is TX_name,
 *            the drop-in's function behind an export Wsock32_name
 *   ordinal  its ordinal. A socket function's is the one Windows Sockets 1.1
 *            (WSOCK32.DLL) gives it, and its hook shares it. Names and
 *            ordinals are frozen: callers bind by either, so an ordinal is
 *            never moved or reused.
 *   bytes    what the named function takes on the stack on 32-bit x86,
 *            where __stdcall pops it with "ret $bytes"; a hook takes 4
 *            more, for the result that comes first
 *   ws2      its ordinal in ws2_32.dll: the same but for ioctlsocket,
 *            inet_addr and inet_ntoa
 *   data     what the call's result counts: bytes "sent", bytes
 *            "received", or "none"; for the calls of a TLS library,
 *            plaintext it took to send ("plain_sent") or handed over
 *            received ("plain_received"), which the socket carries
 *            encrypted in lines of its own
 *   pends    "yes" for an overlapped call, which may stay pending and
 *            complete later, "no" for the rest
 *   socket   the argument (from 0) of a traced call's line that holds the
 *            socket it acts on
 *   address  the argument that holds a socket address, -1 for none
 *   wsaid    the SDK's name (mswsock.h) of the GUID that names an
 *            extension function
 *
 * Plain macros, one entry per line (a list of one on its define's line),
 * for C, C++ and the CMake reader alike;
 * the reader stops the configure at an entry without its list's columns,
 * a name given twice, or an ordinal given twice within one DLL.
 */
#ifndef NETQUILL_CALLS_H
#define NETQUILL_CALLS_H

/* X(name, ordinal, bytes, ws2, data): the traced calls, by ordinal; their
 * hooks hold ordinals 1 to 114. */
#define NQ_TRACED_CALLS(X)                        \
  X(accept, 1, 12, 1, none)                       \
  X(bind, 2, 12, 2, none)                         \
  X(closesocket, 3, 4, 3, none)                   \
  X(connect, 4, 12, 4, none)                      \
  X(getpeername, 5, 12, 5, none)                  \
  X(getsockname, 6, 12, 6, none)                  \
  X(getsockopt, 7, 20, 7, none)                   \
  X(ioctlsocket, 12, 12, 10, none)                \
  X(listen, 13, 8, 13, none)                      \
  X(recv, 16, 16, 16, received)                   \
  X(recvfrom, 17, 24, 17, received)               \
  X(select, 18, 20, 18, none)                     \
  X(send, 19, 16, 19, sent)                       \
  X(sendto, 20, 24, 20, sent)                     \
  X(setsockopt, 21, 20, 21, none)                 \
  X(shutdown, 22, 8, 22, none)                    \
  X(socket, 23, 12, 23, none)                     \
  X(gethostbyaddr, 51, 12, 51, none)              \
  X(gethostbyname, 52, 4, 52, none)               \
  X(getprotobyname, 53, 4, 53, none)              \
  X(getprotobynumber, 54, 4, 54, none)            \
  X(getservbyname, 55, 8, 55, none)               \
  X(getservbyport, 56, 8, 56, none)               \
  X(gethostname, 57, 8, 57, none)                 \
  X(WSAAsyncSelect, 101, 16, 101, none)           \
  X(WSAAsyncGetHostByAddr, 102, 28, 102, none)    \
  X(WSAAsyncGetHostByName, 103, 20, 103, none)    \
  X(WSAAsyncGetProtoByNumber, 104, 20, 104, none) \
  X(WSAAsyncGetProtoByName, 105, 20, 105, none)   \
  X(WSAAsyncGetServByPort, 106, 24, 106, none)    \
  X(WSAAsyncGetServByName, 107, 24, 107, none)    \
  X(WSACancelAsyncRequest, 108, 4, 108, none)     \
  X(WSASetBlockingHook, 109, 4, 109, none)        \
  X(WSAUnhookBlockingHook, 110, 0, 110, none)     \
  X(WSACancelBlockingCall, 113, 0, 113, none)     \
  X(WSAIsBlocking, 114, 0, 114, none)

/* X(name, ordinal, bytes, ws2): the rest of Windows Sockets 1.1: no hook,
 * and their ordinals carry no entry in NETQUILL.DLL. */
#define NQ_UNTRACED_CALLS(X)      \
  X(htonl, 8, 4, 8)               \
  X(htons, 9, 4, 9)               \
  X(inet_addr, 10, 4, 11)         \
  X(inet_ntoa, 11, 4, 12)         \
  X(ntohl, 14, 4, 14)             \
  X(ntohs, 15, 4, 15)             \
  X(WSAGetLastError, 111, 0, 111) \
  X(WSASetLastError, 112, 4, 112) \
  X(WSAStartup, 115, 8, 115)      \
  X(WSACleanup, 116, 0, 116)      \
  X(__WSAFDIsSet, 151, 8, 151)

/* X(name, ordinal, bytes): the library's own exports: the shell's version query
 * at 501, the control API and the record writer from 1000. */
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
  X(NetQuillWrite, 1008, 12)   \
  X(WSASetTraceDumpLimit, 1009, 4)

/* X(name, ordinal, bytes): NETQUILL.DLL's private exports, after the
 * library's own: in no header and no import library, for the drop-in
 * WSOCK32.DLL beside it alone, which installs its -T and -y views of the
 * call lines with it. */
#define NQ_PRIVATE_EXPORTS(X) X(NetQuillSetLineViews, 1010, 4)

/* X(name, ordinal, bytes): the drop-in WSOCK32.DLL's exports beyond Windows
 * Sockets 1.1, at the system WSOCK32.DLL's ordinals: the 16-bit exit procedure,
 * the private driver control call and the Microsoft extensions, passed on to
 * mswsock.dll. The drop-in exports every call above but the library's own
 * under the same name and ordinal. */
#define NQ_WSOCK32_EXPORTS(X)    \
  X(WEP, 500, 0)                 \
  X(WsControl, 1001, 24)         \
  X(inet_network, 1100, 4)       \
  X(getnetbyname, 1101, 4)       \
  X(WSARecvEx, 1107, 16)         \
  X(s_perror, 1108, 4)           \
  X(GetAddressByNameA, 1109, 40) \
  X(GetAddressByNameW, 1110, 40) \
  X(EnumProtocolsA, 1111, 12)    \
  X(EnumProtocolsW, 1112, 12)    \
  X(GetTypeByNameA, 1113, 8)     \
  X(GetTypeByNameW, 1114, 8)     \
  X(SetServiceA, 1117, 24)       \
  X(SetServiceW, 1118, 24)       \
  X(GetServiceA, 1119, 28)       \
  X(GetServiceW, 1120, 28)       \
  X(TransmitFile, 1140, 28)      \
  X(AcceptEx, 1141, 32)          \
  X(GetAcceptExSockaddrs, 1142, 32)

/* X(name, ordinal, bytes): the drop-in WSOCK32.DLL's own exports, which the
 * system's WSOCK32.DLL lacks: netquill-run.exe's injected DLL knows the
 * drop-in by them and has it leave the tracing to the launcher. */
#define NQ_DROPIN_EXPORTS(X) X(NetQuillStandAside, 1143, 4)

/* X(name, data): the calls of the C library, and of the TLS libraries a
 * program loads (OpenSSL, GnuTLS), that netquill-run traces on POSIX systems
 * beyond the ones above, each through its NQX_name entry of the POSIX
 * library (netquill_posix.h); no ordinal, as no DLL exports them. The POSIX
 * library's own NQP_ entries there trace no call and are not listed. */
#define NQ_POSIX_CALLS(X)                \
  X(read, received)                      \
  X(write, sent)                         \
  X(readv, received)                     \
  X(writev, sent)                        \
  X(sendmsg, sent)                       \
  X(recvmsg, received)                   \
  X(sendmmsg, sent)                      \
  X(recvmmsg, received)                  \
  X(sendfile, sent)                      \
  X(splice, sent)                        \
  X(socketpair, none)                    \
  X(getaddrinfo, none)                   \
  X(getnameinfo, none)                   \
  X(SSL_read, plain_received)            \
  X(SSL_write, plain_sent)               \
  X(SSL_read_ex, plain_received)         \
  X(SSL_write_ex, plain_sent)            \
  X(SSL_read_early_data, plain_received) \
  X(SSL_write_early_data, plain_sent)    \
  X(SSL_shutdown, none)                  \
  X(BIO_read, plain_received)            \
  X(BIO_write, plain_sent)               \
  X(gnutls_record_recv, plain_received)  \
  X(gnutls_record_send, plain_sent)

/* X(name, bytes, lib, data, pends): netquill-run.exe's entries, NQW_name
 * (run/windows/inject/entries/netquill_winsock2.h), which its injected DLL
 * NQINJECT.DLL builds in and no DLL exports; bytes are the traced
 * function's own, as above. lib says where the program finds
 * the function: "wsock" a Windows Sockets 1.1 call in ws2_32.dll and
 * wsock32.dll, whose hook the entry replaces under the launcher; "ws2"
 * ws2_32.dll; "mswsock" mswsock.dll (and wsock32.dll); "extension" only
 * through WSAIoctl(SIO_GET_EXTENSION_FUNCTION_POINTER); "kernel" KERNEL32;
 * "routine" the launcher's completion routine or thread-pool I/O
 * callback, which the system calls;
 * "launcher" an entry for the launcher itself, which traces no call (bytes
 * are then the entry's own).
 * data "completed": the line of a completion, whose data goes the way of
 * the operation it names. pends "yes": an overlapped call, which may
 * return WSA_IO_PENDING and complete later; its completion line names it. */
#define NQ_WINSOCK2_CALLS(X)                                \
  X(accept, 12, wsock, none, no)                            \
  X(bind, 12, wsock, none, no)                              \
  X(connect, 12, wsock, none, no)                           \
  X(getpeername, 12, wsock, none, no)                       \
  X(getsockname, 12, wsock, none, no)                       \
  X(getsockopt, 20, wsock, none, no)                        \
  X(ioctlsocket, 12, wsock, none, no)                       \
  X(recvfrom, 24, wsock, received, no)                      \
  X(sendto, 24, wsock, sent, no)                            \
  X(WSASocketA, 24, ws2, none, no)                          \
  X(WSASocketW, 24, ws2, none, no)                          \
  X(WSAAccept, 20, ws2, none, no)                           \
  X(WSAConnect, 28, ws2, none, no)                          \
  X(WSASend, 28, ws2, sent, yes)                            \
  X(WSASendTo, 36, ws2, sent, yes)                          \
  X(WSARecv, 28, ws2, received, yes)                        \
  X(WSARecvFrom, 36, ws2, received, yes)                    \
  X(WSASendMsg, 24, ws2, sent, yes)                         \
  X(WSAIoctl, 36, ws2, none, yes)                           \
  X(WSAPoll, 12, ws2, none, no)                             \
  X(WSAEventSelect, 12, ws2, none, no)                      \
  X(WSAEnumNetworkEvents, 12, ws2, none, no)                \
  X(WSAWaitForMultipleEvents, 20, ws2, none, no)            \
  X(getaddrinfo, 16, ws2, none, no)                         \
  X(GetAddrInfoW, 16, ws2, none, no)                        \
  X(getnameinfo, 28, ws2, none, no)                         \
  X(GetNameInfoW, 28, ws2, none, no)                        \
  X(WSAGetOverlappedResult, 20, ws2, completed, no)         \
  X(AcceptEx, 32, mswsock, received, yes)                   \
  X(TransmitFile, 28, mswsock, sent, yes)                   \
  X(ConnectEx, 28, extension, sent, yes)                    \
  X(DisconnectEx, 16, extension, none, yes)                 \
  X(WSARecvMsg, 20, extension, received, yes)               \
  X(GetQueuedCompletionStatus, 20, kernel, completed, no)   \
  X(GetQueuedCompletionStatusEx, 24, kernel, completed, no) \
  X(GetOverlappedResult, 16, kernel, completed, no)         \
  X(GetOverlappedResultEx, 20, kernel, completed, no)       \
  X(CompletionRoutine, 16, routine, completed, no)          \
  X(HoldTraceFile, 4, launcher, none, no)                   \
  X(GetAddrInfoExW, 40, ws2, none, yes)                     \
  X(GetAddrInfoExOverlappedResult, 4, ws2, completed, no)   \
  X(WSAConnectByNameA, 36, ws2, none, no)                   \
  X(WSAConnectByNameW, 36, ws2, none, no)                   \
  X(WSAConnectByList, 32, ws2, none, no)                    \
  X(TransmitPackets, 24, extension, sent, yes)              \
  X(TransmitFileFrom, 36, launcher, none, no)               \
  X(IssuingCall, 8, launcher, none, no)                     \
  X(IoCompletionCallback, 24, routine, completed, no)

/* X(name, socket, address): the traced calls the trace readers follow
 * sockets through, by where their socket and socket address stand among
 * the arguments of their line; the calls that make sockets return theirs
 * and are not here. The data calls name no address but the datagram calls'
 * destination or source; the address of sendmsg and the mmsg calls is
 * their message's. The calls that connect by name or by a list of
 * addresses write the local end just before the remote one, which is the
 * address here. The configure stops at a name that no traced call has and
 * at an argument past those the call takes. */
#define NQ_CALL_SHAPES(X)    \
  X(accept, 0, 1)            \
  X(bind, 0, 1)              \
  X(closesocket, 0, -1)      \
  X(connect, 0, 1)           \
  X(getpeername, 0, 1)       \
  X(getsockname, 0, 1)       \
  X(listen, 0, -1)           \
  X(shutdown, 0, -1)         \
  X(recv, 0, -1)             \
  X(send, 0, -1)             \
  X(recvfrom, 0, 4)          \
  X(sendto, 0, 4)            \
  X(read, 0, -1)             \
  X(write, 0, -1)            \
  X(readv, 0, -1)            \
  X(writev, 0, -1)           \
  X(sendmsg, 0, 2)           \
  X(recvmsg, 0, 2)           \
  X(sendmmsg, 0, 2)          \
  X(recvmmsg, 0, 2)          \
  X(sendfile, 0, -1)         \
  X(splice, 2, -1)           \
  X(WSAAccept, 0, 1)         \
  X(WSAConnect, 0, 1)        \
  X(WSASend, 0, -1)          \
  X(WSARecv, 0, -1)          \
  X(WSASendTo, 0, 5)         \
  X(WSARecvFrom, 0, 5)       \
  X(WSASendMsg, 0, -1)       \
  X(WSARecvMsg, 0, -1)       \
  X(AcceptEx, 0, -1)         \
  X(ConnectEx, 0, 1)         \
  X(DisconnectEx, 0, -1)     \
  X(TransmitFile, 0, -1)     \
  X(TransmitPackets, 0, -1)  \
  X(WSAConnectByNameA, 0, 4) \
  X(WSAConnectByNameW, 0, 4) \
  X(WSAConnectByList, 0, 3)

/* X(name, wsaid): the functions a program may get from
 * WSAIoctl(SIO_GET_EXTENSION_FUNCTION_POINTER), by the GUID that names
 * them. The launcher hands out traced those whose entry's lib is
 * "extension" or "mswsock", and names each in the line of that WSAIoctl.
 * The configure stops at a name that no list has and at a wsaid other than
 * WSAID_ and the name in capitals. */
#define NQ_EXTENSION_IDS(X)                           \
  X(AcceptEx, WSAID_ACCEPTEX)                         \
  X(ConnectEx, WSAID_CONNECTEX)                       \
  X(DisconnectEx, WSAID_DISCONNECTEX)                 \
  X(GetAcceptExSockaddrs, WSAID_GETACCEPTEXSOCKADDRS) \
  X(TransmitFile, WSAID_TRANSMITFILE)                 \
  X(TransmitPackets, WSAID_TRANSMITPACKETS)           \
  X(WSARecvMsg, WSAID_WSARECVMSG)                     \
  X(WSASendMsg, WSAID_WSASENDMSG)                     \
  X(WSAPoll, WSAID_WSAPOLL)

/* X(name, as): the system calls netquill-run traces of a program that
 * makes them itself. Its interposer, when a program makes one through
 * syscall() (libuv does, for close, sendmmsg and recvmmsg), sends it the way
 * of the C library's function of the same name, which it interposes and
 * traces; every other number goes straight on. Its system-call path stops a
 * Go or static program at these and records each as the interposer records
 * the function. The number is the system's SYS_name; as, the call the trace
 * names it (accept4 is traced as accept, close as closesocket). The
 * interposer's link step stops at a name here that it does not interpose,
 * the configure at an as that no traced call has. */
#define NQ_ROUTED_CALLS(X)    \
  X(close, closesocket)       \
  X(socket, socket)           \
  X(socketpair, socketpair)   \
  X(accept, accept)           \
  X(accept4, accept)          \
  X(bind, bind)               \
  X(connect, connect)         \
  X(listen, listen)           \
  X(shutdown, shutdown)       \
  X(getsockname, getsockname) \
  X(getpeername, getpeername) \
  X(getsockopt, getsockopt)   \
  X(setsockopt, setsockopt)   \
  X(sendto, sendto)           \
  X(recvfrom, recvfrom)       \
  X(sendmsg, sendmsg)         \
  X(recvmsg, recvmsg)         \
  X(sendmmsg, sendmmsg)       \
  X(recvmmsg, recvmmsg)       \
  X(read, read)               \
  X(write, write)             \
  X(readv, readv)             \
  X(writev, writev)           \
  X(sendfile, sendfile)

#endif /* NETQUILL_CALLS_H */
