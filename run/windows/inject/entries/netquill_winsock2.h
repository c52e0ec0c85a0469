/*
 * netquill_winsock2.h - the entries NQINJECT.DLL, netquill-run.exe's
 * injected DLL, builds in above the library's floors and calls directly
 * (nothing exports them): the calls of Windows Sockets 2, of mswsock.dll
 * and of the completion calls of KERNEL32 that a program of this decade
 * makes, and the Windows Sockets 1.1 calls whose addresses the launcher
 * reads by family. NQW_name is the entry of the listed call name.
 *
 * Like the hooks, each takes the call's result first, then the call's own
 * arguments, writes the call's line (and, for the calls that move data,
 * the dump of what moved) and returns the result unchanged; the caller's
 * error code is read through the bridge, as by the hooks. Each line carries
 * the call's own name. NQ_WINSOCK2_CALLS in netquill_calls.h lists them; the
 * TX_ hooks keep their own text (every address read as IPv4) for programs
 * that call them directly.
 *
 * Addresses are read by family: "127.0.0.1:80", "[::1]:443", a path in
 * quotes for AF_UNIX, "<family N>" for any other; an out-address only when
 * the call succeeded, as many bytes as it said it wrote.
 *
 * Overlapped calls: a call that returns WSA_IO_PENDING (997) is written at
 * once, as a warning, and its buffers (the WSABUF array copied, the bytes
 * read at completion) are remembered by the OVERLAPPED's address. The
 * completion is written when the program learns of it, through one of the
 * completion entries, as a line of the call that delivered it:
 *   GetQueuedCompletionStatus(316, 0x6ff1a0, WSARecv) returned 16
 * (the socket, the OVERLAPPED, the operation; the bytes moved, or -1 and
 * the code the program got) with the dump of the bytes. AcceptEx's
 * completion adds the accepted socket and its two addresses:
 *   GetQueuedCompletionStatus(316, 0x6ff1a0, AcceptEx, 320, 127.0.0.1:7000,
 *   127.0.0.1:51544) returned 5
 * A call that completes at once writes its bytes with its own line.
 */
#ifndef NETQUILL_WINSOCK2_H
#define NETQUILL_WINSOCK2_H

/* A header of the entries floor, above the library's: a file below it must
 * not include it. */
#if NQ_FLOOR < 5
#error "run/windows/inject/entries/ is above the floor of this file (NQ_FLOOR)"
#endif

#if defined(_WIN32_WINNT) && _WIN32_WINNT < 0x0600
#error \
    "netquill_winsock2.h declares WSAPoll and GetQueuedCompletionStatusEx: _WIN32_WINNT 0x0600 or later"
#endif

#include <mswsock.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include "netquill.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Windows Sockets 1.1 calls, with addresses by family, the value of
 * getsockopt(SO_ERROR) and the names of ioctlsocket's commands. */
SOCKET NQ_CALL NQW_accept(SOCKET result, SOCKET s, struct sockaddr *addr,
                          int *addrlen);
int NQ_CALL NQW_bind(int result, SOCKET s, const struct sockaddr *name,
                     int namelen);
int NQ_CALL NQW_connect(int result, SOCKET s, const struct sockaddr *name,
                        int namelen);
int NQ_CALL NQW_getpeername(int result, SOCKET s, struct sockaddr *name,
                            int *namelen);
int NQ_CALL NQW_getsockname(int result, SOCKET s, struct sockaddr *name,
                            int *namelen);
int NQ_CALL NQW_getsockopt(int result, SOCKET s, int level, int optname,
                           char *optval, int *optlen);
int NQ_CALL NQW_ioctlsocket(int result, SOCKET s, long cmd, u_long *argp);
int NQ_CALL NQW_recvfrom(int result, SOCKET s, char *buf, int len, int flags,
                         struct sockaddr *from, int *fromlen);
int NQ_CALL NQW_sendto(int result, SOCKET s, const char *buf, int len,
                       int flags, const struct sockaddr *to, int tolen);

/* Sockets and connections. */
SOCKET NQ_CALL NQW_WSASocketA(SOCKET result, int af, int type, int protocol,
                              LPWSAPROTOCOL_INFOA info, GROUP g, DWORD flags);
SOCKET NQ_CALL NQW_WSASocketW(SOCKET result, int af, int type, int protocol,
                              LPWSAPROTOCOL_INFOW info, GROUP g, DWORD flags);
SOCKET NQ_CALL NQW_WSAAccept(SOCKET result, SOCKET s, struct sockaddr *addr,
                             LPINT addrlen, LPCONDITIONPROC condition,
                             DWORD_PTR callback_data);
int NQ_CALL NQW_WSAConnect(int result, SOCKET s, const struct sockaddr *name,
                           int namelen, LPWSABUF caller_data,
                           LPWSABUF callee_data, LPQOS sqos, LPQOS gqos);
BOOL NQ_CALL NQW_AcceptEx(BOOL result, SOCKET listen_socket,
                          SOCKET accept_socket, PVOID buffer,
                          DWORD receive_length, DWORD local_length,
                          DWORD remote_length, LPDWORD received,
                          LPOVERLAPPED ov);
BOOL NQ_CALL NQW_ConnectEx(BOOL result, SOCKET s, const struct sockaddr *name,
                           int namelen, PVOID send_buffer, DWORD send_length,
                           LPDWORD sent, LPOVERLAPPED ov);
BOOL NQ_CALL NQW_DisconnectEx(BOOL result, SOCKET s, LPOVERLAPPED ov,
                              DWORD flags, DWORD reserved);
BOOL NQ_CALL NQW_TransmitFile(BOOL result, SOCKET s, HANDLE file,
                              DWORD write_count, DWORD per_send,
                              LPOVERLAPPED ov, LPTRANSMIT_FILE_BUFFERS buffers,
                              DWORD flags);

/* Data: every buffer of the WSABUF array in one dump. */
int NQ_CALL NQW_WSASend(int result, SOCKET s, LPWSABUF buffers, DWORD count,
                        LPDWORD sent, DWORD flags, LPWSAOVERLAPPED ov,
                        LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
int NQ_CALL NQW_WSASendTo(int result, SOCKET s, LPWSABUF buffers, DWORD count,
                          LPDWORD sent, DWORD flags, const struct sockaddr *to,
                          int tolen, LPWSAOVERLAPPED ov,
                          LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
int NQ_CALL NQW_WSARecv(int result, SOCKET s, LPWSABUF buffers, DWORD count,
                        LPDWORD received, LPDWORD flags, LPWSAOVERLAPPED ov,
                        LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
int NQ_CALL NQW_WSARecvFrom(int result, SOCKET s, LPWSABUF buffers, DWORD count,
                            LPDWORD received, LPDWORD flags,
                            struct sockaddr *from, LPINT fromlen,
                            LPWSAOVERLAPPED ov,
                            LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
int NQ_CALL NQW_WSASendMsg(int result, SOCKET s, LPWSAMSG msg, DWORD flags,
                           LPDWORD sent, LPWSAOVERLAPPED ov,
                           LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
int NQ_CALL NQW_WSARecvMsg(int result, SOCKET s, LPWSAMSG msg, LPDWORD received,
                           LPWSAOVERLAPPED ov,
                           LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);

/* Completions of overlapped calls, as the program learns of them. */
BOOL NQ_CALL NQW_WSAGetOverlappedResult(BOOL result, SOCKET s,
                                        LPWSAOVERLAPPED ov, LPDWORD transferred,
                                        BOOL wait, LPDWORD flags);
BOOL NQ_CALL NQW_GetOverlappedResult(BOOL result, HANDLE handle,
                                     LPOVERLAPPED ov, LPDWORD transferred,
                                     BOOL wait);
BOOL NQ_CALL NQW_GetOverlappedResultEx(BOOL result, HANDLE handle,
                                       LPOVERLAPPED ov, LPDWORD transferred,
                                       DWORD milliseconds, BOOL alertable);
BOOL NQ_CALL NQW_GetQueuedCompletionStatus(BOOL result, HANDLE port,
                                           LPDWORD transferred, PULONG_PTR key,
                                           LPOVERLAPPED *ov,
                                           DWORD milliseconds);
BOOL NQ_CALL NQW_GetQueuedCompletionStatusEx(BOOL result, HANDLE port,
                                             LPOVERLAPPED_ENTRY entries,
                                             ULONG count, PULONG removed,
                                             DWORD milliseconds,
                                             BOOL alertable);

/* Called by the launcher's own completion routine, which it hands to the
 * system in place of the program's, before it calls the program's: writes
 * the completion of the overlapped call at ov as a CompletionRoutine line. */
void NQ_CALL NQW_CompletionRoutine(DWORD error, DWORD transferred,
                                   LPWSAOVERLAPPED ov, DWORD flags);

/* The same for thread-pool I/O (CreateThreadpoolIo): called by the
 * launcher's callback, which the pool calls in place of the program's,
 * with its arguments, before it calls the program's: writes the completion
 * of the overlapped call at ov as an IoCompletionCallback line, result
 * being the system's error code the program's callback gets. */
void NQ_CALL NQW_IoCompletionCallback(PTP_CALLBACK_INSTANCE instance,
                                      PVOID context, PVOID ov, ULONG result,
                                      ULONG_PTR transferred, PTP_IO io);

/* Control and waits. */
int NQ_CALL NQW_WSAIoctl(int result, SOCKET s, DWORD code, LPVOID in,
                         DWORD in_length, LPVOID out, DWORD out_length,
                         LPDWORD returned, LPWSAOVERLAPPED ov,
                         LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
int NQ_CALL NQW_WSAPoll(int result, LPWSAPOLLFD fds, ULONG count, INT timeout);
int NQ_CALL NQW_WSAEventSelect(int result, SOCKET s, WSAEVENT event,
                               long events);
int NQ_CALL NQW_WSAEnumNetworkEvents(int result, SOCKET s, WSAEVENT event,
                                     LPWSANETWORKEVENTS events);
DWORD NQ_CALL NQW_WSAWaitForMultipleEvents(DWORD result, DWORD count,
                                           const WSAEVENT *events,
                                           BOOL wait_all, DWORD timeout,
                                           BOOL alertable);

/* Name lookups, with every address that came back. */
INT NQ_CALL NQW_getaddrinfo(INT result, PCSTR node, PCSTR service,
                            const ADDRINFOA *hints, PADDRINFOA *res);
INT NQ_CALL NQW_GetAddrInfoW(INT result, PCWSTR node, PCWSTR service,
                             const ADDRINFOW *hints, PADDRINFOW *res);
INT NQ_CALL NQW_getnameinfo(INT result, const SOCKADDR *sa, socklen_t salen,
                            PCHAR host, DWORD host_size, PCHAR serv,
                            DWORD serv_size, INT flags);
INT NQ_CALL NQW_GetNameInfoW(INT result, const SOCKADDR *sa, socklen_t salen,
                             PWCHAR host, DWORD host_size, PWCHAR serv,
                             DWORD serv_size, INT flags);

/* GetAddrInfoExW, with every address that came back. One that goes on in
 * the background (997, WSA_IO_PENDING) is remembered by its OVERLAPPED;
 * its addresses come with the line of its completion, when the program
 * learns of it: through the launcher's completion routine
 * (NQW_CompletionRoutine, which the launcher calls with the lookup's code
 * and OVERLAPPED) or GetAddrInfoExOverlappedResult:
 *   CompletionRoutine(-1, 0x6ff1a0, GetAddrInfoExW) returned 0
 *   (127.0.0.1:80, [::1]:80)
 * No name was passed through a lookup's OVERLAPPED, so its socket is -1. */
INT NQ_CALL NQW_GetAddrInfoExW(INT result, PCWSTR node, PCWSTR service,
                               DWORD name_space, LPGUID nsp,
                               const ADDRINFOEXW *hints, PADDRINFOEXW *res,
                               struct timeval *timeout, LPOVERLAPPED ov,
                               LPLOOKUPSERVICE_COMPLETION_ROUTINE routine,
                               LPHANDLE handle);
INT NQ_CALL NQW_GetAddrInfoExOverlappedResult(INT result, LPOVERLAPPED ov);

/* Connections by name or by a list of addresses: the name and service (or
 * the list), the local and the remote address the call wrote. */
BOOL NQ_CALL NQW_WSAConnectByNameA(BOOL result, SOCKET s, LPCSTR node,
                                   LPCSTR service, LPDWORD local_length,
                                   LPSOCKADDR local, LPDWORD remote_length,
                                   LPSOCKADDR remote,
                                   const struct timeval *timeout,
                                   LPWSAOVERLAPPED reserved);
BOOL NQ_CALL NQW_WSAConnectByNameW(BOOL result, SOCKET s, LPWSTR node,
                                   LPWSTR service, LPDWORD local_length,
                                   LPSOCKADDR local, LPDWORD remote_length,
                                   LPSOCKADDR remote,
                                   const struct timeval *timeout,
                                   LPWSAOVERLAPPED reserved);
BOOL NQ_CALL NQW_WSAConnectByList(BOOL result, SOCKET s,
                                  PSOCKET_ADDRESS_LIST list,
                                  LPDWORD local_length, LPSOCKADDR local,
                                  LPDWORD remote_length, LPSOCKADDR remote,
                                  const struct timeval *timeout,
                                  LPWSAOVERLAPPED reserved);

/* TransmitPackets: the counts of its memory and file elements; the memory
 * elements' bytes in one dump, as sent (at its completion when it goes on
 * in the background). File elements are counted, not read back. */
BOOL NQ_CALL NQW_TransmitPackets(BOOL result, SOCKET s,
                                 LPTRANSMIT_PACKETS_ELEMENT elements,
                                 DWORD count, DWORD send_size, LPOVERLAPPED ov,
                                 DWORD flags);

/* The launcher's own entry, which traces no call: appends to the trace
 * file at path go through a handle opened now, at the program's start, and
 * kept: one write per record between the append guard's lock and unlock,
 * after a check that the handle still names the file it was opened on.
 * Records to another path, and all of them once the program has closed the
 * handle, go by path as before. Returns 1 when the file is held. */
int NQ_CALL NQW_HoldTraceFile(const char *path);

/* TransmitFile's line as its launcher's relay writes it: position is the
 * file's position read just before the call (null when not known), where
 * the bytes sent from the file start when ov is null. The dump holds the
 * head buffer, the file's bytes read back from the range sent, and the
 * tail buffer, the order they went out in. */
BOOL NQ_CALL NQW_TransmitFileFrom(BOOL result, SOCKET s, HANDLE file,
                                  DWORD write_count, DWORD per_send,
                                  LPOVERLAPPED ov,
                                  LPTRANSMIT_FILE_BUFFERS buffers, DWORD flags,
                                  const LARGE_INTEGER *position);

/* The launcher's own entry, which traces no call: its relay of a call that
 * takes an OVERLAPPED calls it with TRUE and the OVERLAPPED just before the
 * system's function and with FALSE once the call's entry has run. A thread
 * that learns of the completion of ov in between waits until the entry has
 * run, and writes the completion after the call's line. */
void NQ_CALL NQW_IssuingCall(BOOL begins, LPOVERLAPPED ov);

#ifdef __cplusplus
}
#endif

#endif /* NETQUILL_WINSOCK2_H */
