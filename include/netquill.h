/*
 * netquill.h - public interface of NETQUILL, a per-thread socket call tracer.
 *
 * The program makes each socket call itself and hands the result, followed
 * by the call's own arguments, to the matching hook:
 *
 *     n = TX_recv(recv(s, buf, len, 0), s, buf, len, 0);
 *
 * The hook writes one line to the calling thread's trace file (and a hex
 * dump of the bytes moved, for send and receive calls) and returns the
 * result unchanged. Tracing is switched on per thread with WSAEnableTrace.
 *
 * Every function uses the Windows API calling convention (__stdcall on
 * 32-bit x86); on POSIX the convention macro is empty.
 */
#ifndef NETQUILL_H
#define NETQUILL_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
/* winsock2.h must come before windows.h, which would pull in the older
 * winsock.h; include this header before windows.h for the same reason. */
#include <winsock2.h>

#include <windows.h>
#define NQ_CALL WINAPI
#define NQ_EXPORT
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#define NQ_CALL
#define NQ_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Each hook takes the platform's own types for the socket call's arguments
 * and result, so a call's result and arguments pass to it without a cast. */
#if defined(_WIN32)
typedef SOCKET NQ_SOCKET;   /* a socket handle */
typedef int NQ_SOCKLEN;     /* an address length passed by value */
typedef int NQ_IORESULT;    /* bytes moved by send and receive */
typedef int NQ_IOLEN;       /* buffer length of send and receive */
typedef char NQ_IOBUF;      /* element type of data buffers */
typedef char NQ_OPTVAL;     /* element type of option values */
typedef u_long NQ_IOCTLARG; /* what ioctlsocket's argp points to */
typedef HWND NQ_HWND;       /* window that receives async messages */
typedef u_int NQ_UINT;      /* a message number */
typedef HANDLE NQ_HANDLE;   /* an asynchronous task handle */
typedef FARPROC NQ_PROC;    /* a blocking-hook procedure */
typedef BOOL NQ_BOOL;       /* a truth value */
typedef long NQ_HRESULT;    /* a result code */
#else
typedef int NQ_SOCKET;
typedef socklen_t NQ_SOCKLEN;
typedef ssize_t NQ_IORESULT;
typedef size_t NQ_IOLEN;
typedef void NQ_IOBUF;
typedef void NQ_OPTVAL;
typedef unsigned long NQ_IOCTLARG;
typedef void *NQ_HWND;
typedef unsigned int NQ_UINT;
typedef void *NQ_HANDLE;
typedef void *NQ_PROC;
typedef int NQ_BOOL;
typedef int32_t NQ_HRESULT;
#endif

/* Record kinds: the first argument of NetQuillWrite. */
#define TRACE_KIND_PLAIN 0u         /* a text line (the banners use it) */
#define TRACE_KIND_DUMP 4u          /* the bytes are written as hex lines */
#define TRACE_KIND_CALL 0x80000000u /* the line of a traced socket call */

/* Trace flags of a thread, given to WSAEnableTrace and WSASetTraceFlags. */
#define TRACE_FLAG_ERRORS 1u   /* only failed calls (warnings dropped) */
#define TRACE_FLAG_WARNINGS 2u /* only failed calls, warnings included */
#define TRACE_FLAG_DUMP 4u     /* hex dumps of the data moved */

/* DllGetVersion results. */
#define NQ_VERSION_OK 0
#define NQ_VERSION_BAD_POINTER ((NQ_HRESULT)0x80000005u)
#define NQ_VERSION_BAD_ARGUMENT ((NQ_HRESULT)0x80000003u)

/* The shell's version record: cbSize must be 20 on the way in. */
typedef struct NQ_DLLVERSIONINFO {
  uint32_t cbSize;
  uint32_t dwMajorVersion;
  uint32_t dwMinorVersion;
  uint32_t dwBuildNumber;
  uint32_t dwPlatformID;
} NQ_DLLVERSIONINFO;

/* The caller's accessors of its socket error code. On Windows,
 * WSAGetLastError and WSASetLastError fit as they are. */
typedef int(NQ_CALL *NQ_GET_ERROR)(void);
typedef void(NQ_CALL *NQ_SET_ERROR)(int code);

typedef struct TraceErrorHooks {
  NQ_GET_ERROR GetError; /* reads the caller's current error code */
  NQ_SET_ERROR SetError; /* sets it back after the record is written */
} TraceErrorHooks;

/* Version query. */
NQ_EXPORT NQ_HRESULT NQ_CALL DllGetVersion(NQ_DLLVERSIONINFO *info);

/* Control API: each call acts on the calling thread's own trace. */
NQ_EXPORT int NQ_CALL WSASetupTrace(const TraceErrorHooks *hooks);
NQ_EXPORT int NQ_CALL WSAEnableTrace(const char *path, uint32_t flags);
NQ_EXPORT int NQ_CALL WSADisableTrace(void);
NQ_EXPORT int NQ_CALL WSAGetTraceUsage(void);
NQ_EXPORT int NQ_CALL WSASetTraceFile(const char *path);
NQ_EXPORT int NQ_CALL WSAGetTraceFile(char *buffer, int size);
NQ_EXPORT uint32_t NQ_CALL WSASetTraceFlags(uint32_t flags);
NQ_EXPORT uint32_t NQ_CALL WSAGetTraceFlags(void);
/* Dumps of the calling thread show at most limit bytes each (0: all of
 * them), then a line that counts the rest. Returns the limit before, 0
 * without a trace. */
NQ_EXPORT uint32_t NQ_CALL WSASetTraceDumpLimit(uint32_t limit);

/* Appends a record of the caller's own to its thread's trace. length 0 on a
 * text record means "up to the terminating NUL". Returns 1 when written. */
NQ_EXPORT int NQ_CALL NetQuillWrite(uint32_t kind, const void *text,
                                    uint32_t length);

/* The hooks: result first, then the socket call's own arguments. The
 * address of TX_accept, TX_getpeername, TX_getsockname and TX_recvfrom,
 * whose length comes through a pointer, is read as 8 bytes whatever that
 * length says: a non-null one must have its 8 bytes readable (a caller with
 * fewer valid bytes passes a zero-filled copy of them). */
NQ_EXPORT NQ_SOCKET NQ_CALL TX_accept(NQ_SOCKET result, NQ_SOCKET s,
                                      struct sockaddr *addr,
                                      NQ_SOCKLEN *addrlen);
NQ_EXPORT int NQ_CALL TX_bind(int result, NQ_SOCKET s,
                              const struct sockaddr *name, NQ_SOCKLEN namelen);
NQ_EXPORT int NQ_CALL TX_closesocket(int result, NQ_SOCKET s);
NQ_EXPORT int NQ_CALL TX_connect(int result, NQ_SOCKET s,
                                 const struct sockaddr *name,
                                 NQ_SOCKLEN namelen);
NQ_EXPORT int NQ_CALL TX_getpeername(int result, NQ_SOCKET s,
                                     struct sockaddr *name,
                                     NQ_SOCKLEN *namelen);
NQ_EXPORT int NQ_CALL TX_getsockname(int result, NQ_SOCKET s,
                                     struct sockaddr *name,
                                     NQ_SOCKLEN *namelen);
NQ_EXPORT int NQ_CALL TX_getsockopt(int result, NQ_SOCKET s, int level,
                                    int optname, NQ_OPTVAL *optval,
                                    NQ_SOCKLEN *optlen);
NQ_EXPORT int NQ_CALL TX_ioctlsocket(int result, NQ_SOCKET s, long cmd,
                                     NQ_IOCTLARG *argp);
NQ_EXPORT int NQ_CALL TX_listen(int result, NQ_SOCKET s, int backlog);
NQ_EXPORT NQ_IORESULT NQ_CALL TX_recv(NQ_IORESULT result, NQ_SOCKET s,
                                      NQ_IOBUF *buf, NQ_IOLEN len, int flags);
NQ_EXPORT NQ_IORESULT NQ_CALL TX_recvfrom(NQ_IORESULT result, NQ_SOCKET s,
                                          NQ_IOBUF *buf, NQ_IOLEN len,
                                          int flags, struct sockaddr *from,
                                          NQ_SOCKLEN *fromlen);
NQ_EXPORT int NQ_CALL TX_select(int result, int nfds, fd_set *readfds,
                                fd_set *writefds, fd_set *exceptfds,
                                const struct timeval *timeout);
NQ_EXPORT NQ_IORESULT NQ_CALL TX_send(NQ_IORESULT result, NQ_SOCKET s,
                                      const NQ_IOBUF *buf, NQ_IOLEN len,
                                      int flags);
NQ_EXPORT NQ_IORESULT NQ_CALL TX_sendto(NQ_IORESULT result, NQ_SOCKET s,
                                        const NQ_IOBUF *buf, NQ_IOLEN len,
                                        int flags, const struct sockaddr *to,
                                        NQ_SOCKLEN tolen);
NQ_EXPORT int NQ_CALL TX_setsockopt(int result, NQ_SOCKET s, int level,
                                    int optname, const NQ_OPTVAL *optval,
                                    NQ_SOCKLEN optlen);
NQ_EXPORT int NQ_CALL TX_shutdown(int result, NQ_SOCKET s, int how);
NQ_EXPORT NQ_SOCKET NQ_CALL TX_socket(NQ_SOCKET result, int af, int type,
                                      int protocol);
NQ_EXPORT struct hostent *NQ_CALL TX_gethostbyaddr(struct hostent *result,
                                                   const char *addr, int len,
                                                   int type);
NQ_EXPORT struct hostent *NQ_CALL TX_gethostbyname(struct hostent *result,
                                                   const char *name);
NQ_EXPORT struct protoent *NQ_CALL TX_getprotobyname(struct protoent *result,
                                                     const char *name);
NQ_EXPORT struct protoent *NQ_CALL TX_getprotobynumber(struct protoent *result,
                                                       int number);
NQ_EXPORT struct servent *NQ_CALL TX_getservbyname(struct servent *result,
                                                   const char *name,
                                                   const char *proto);
NQ_EXPORT struct servent *NQ_CALL TX_getservbyport(struct servent *result,
                                                   int port, const char *proto);
NQ_EXPORT int NQ_CALL TX_gethostname(int result, char *name, NQ_IOLEN namelen);
NQ_EXPORT int NQ_CALL TX_WSAAsyncSelect(int result, NQ_SOCKET s, NQ_HWND hWnd,
                                        NQ_UINT wMsg, long lEvent);
NQ_EXPORT NQ_HANDLE NQ_CALL TX_WSAAsyncGetHostByAddr(NQ_HANDLE result,
                                                     NQ_HWND hWnd, NQ_UINT wMsg,
                                                     const char *addr, int len,
                                                     int type, char *buf,
                                                     int buflen);
NQ_EXPORT NQ_HANDLE NQ_CALL TX_WSAAsyncGetHostByName(NQ_HANDLE result,
                                                     NQ_HWND hWnd, NQ_UINT wMsg,
                                                     const char *name,
                                                     char *buf, int buflen);
NQ_EXPORT NQ_HANDLE NQ_CALL TX_WSAAsyncGetProtoByNumber(NQ_HANDLE result,
                                                        NQ_HWND hWnd,
                                                        NQ_UINT wMsg,
                                                        int number, char *buf,
                                                        int buflen);
NQ_EXPORT NQ_HANDLE NQ_CALL TX_WSAAsyncGetProtoByName(NQ_HANDLE result,
                                                      NQ_HWND hWnd,
                                                      NQ_UINT wMsg,
                                                      const char *name,
                                                      char *buf, int buflen);
NQ_EXPORT NQ_HANDLE NQ_CALL TX_WSAAsyncGetServByPort(NQ_HANDLE result,
                                                     NQ_HWND hWnd, NQ_UINT wMsg,
                                                     int port,
                                                     const char *proto,
                                                     char *buf, int buflen);
NQ_EXPORT NQ_HANDLE NQ_CALL TX_WSAAsyncGetServByName(NQ_HANDLE result,
                                                     NQ_HWND hWnd, NQ_UINT wMsg,
                                                     const char *name,
                                                     const char *proto,
                                                     char *buf, int buflen);
NQ_EXPORT int NQ_CALL TX_WSACancelAsyncRequest(int result,
                                               NQ_HANDLE hAsyncTaskHandle);
NQ_EXPORT NQ_PROC NQ_CALL TX_WSASetBlockingHook(NQ_PROC result,
                                                NQ_PROC lpBlockFunc);
NQ_EXPORT int NQ_CALL TX_WSAUnhookBlockingHook(int result);
NQ_EXPORT int NQ_CALL TX_WSACancelBlockingCall(int result);
NQ_EXPORT NQ_BOOL NQ_CALL TX_WSAIsBlocking(NQ_BOOL result);

#ifdef __cplusplus
}
#endif

#endif /* NETQUILL_H */
