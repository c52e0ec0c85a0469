// The system's socket libraries and NETQUILL.DLL as this DLL reaches them:
// every function looked up once, on the first call into the DLL.
#ifndef NQ_DROPIN_WSOCK32_BACKEND_H
#define NQ_DROPIN_WSOCK32_BACKEND_H

#include "netquill.h"
#include "netquill_calls.h"

namespace nqws {

// The Windows Sockets 1.1 functions that NETQUILL traces, and the rest,
// passed on as they are: X(name, ordinal, bytes, ...), as the list has
// them. Each export "name" of this DLL is its function Wsock32_name.
#define NQ_WS_TRACED(X) NQ_TRACED_CALLS(X)
#define NQ_WS_PLAIN(X) NQ_UNTRACED_CALLS(X)

// The Microsoft extensions, which live in mswsock.dll, passed on as they
// are: X(name, result, failed, (parameters), (arguments)), where failed is
// what the call returns, with WSAEOPNOTSUPP, on a system whose mswsock.dll
// lacks it (NoResult: a call without a result just returns). Their types
// are spelled out here, as the SDK headers that declare them differ.
struct NoResult {};
#define NQ_WS_EXTENSIONS(X)                                                    \
  X(AcceptEx, BOOL, FALSE,                                                     \
    (SOCKET listener, SOCKET accepted, void *buf, DWORD data_len,              \
     DWORD local_len, DWORD remote_len, DWORD *received,                       \
     OVERLAPPED *overlapped),                                                  \
    (listener, accepted, buf, data_len, local_len, remote_len, received,       \
     overlapped))                                                              \
  X(GetAcceptExSockaddrs, void, nqws::NoResult{},                              \
    (void *buf, DWORD data_len, DWORD local_len, DWORD remote_len,             \
     sockaddr **local, int *local_size, sockaddr **remote, int *remote_size),  \
    (buf, data_len, local_len, remote_len, local, local_size, remote,          \
     remote_size))                                                             \
  X(TransmitFile, BOOL, FALSE,                                                 \
    (SOCKET s, HANDLE file, DWORD bytes, DWORD per_send,                       \
     OVERLAPPED * overlapped, void *buffers, DWORD flags),                     \
    (s, file, bytes, per_send, overlapped, buffers, flags))                    \
  X(WSARecvEx, int, SOCKET_ERROR, (SOCKET s, char *buf, int len, int *flags),  \
    (s, buf, len, flags))                                                      \
  X(EnumProtocolsA, int, SOCKET_ERROR,                                         \
    (int *protocols, void *buf, DWORD *len), (protocols, buf, len))            \
  X(EnumProtocolsW, int, SOCKET_ERROR,                                         \
    (int *protocols, void *buf, DWORD *len), (protocols, buf, len))            \
  X(GetAddressByNameA, int, SOCKET_ERROR,                                      \
    (DWORD space, GUID * type, void *name, int *protocols, DWORD resolution,   \
     void *async, void *addrs, DWORD *addrs_len, void *aliases,                \
     DWORD *aliases_len),                                                      \
    (space, type, name, protocols, resolution, async, addrs, addrs_len,        \
     aliases, aliases_len))                                                    \
  X(GetAddressByNameW, int, SOCKET_ERROR,                                      \
    (DWORD space, GUID * type, void *name, int *protocols, DWORD resolution,   \
     void *async, void *addrs, DWORD *addrs_len, void *aliases,                \
     DWORD *aliases_len),                                                      \
    (space, type, name, protocols, resolution, async, addrs, addrs_len,        \
     aliases, aliases_len))                                                    \
  X(GetTypeByNameA, int, SOCKET_ERROR, (void *name, GUID *type), (name, type)) \
  X(GetTypeByNameW, int, SOCKET_ERROR, (void *name, GUID *type), (name, type)) \
  X(SetServiceA, int, SOCKET_ERROR,                                            \
    (DWORD space, DWORD operation, DWORD flags, void *info, void *async,       \
     DWORD *status),                                                           \
    (space, operation, flags, info, async, status))                            \
  X(SetServiceW, int, SOCKET_ERROR,                                            \
    (DWORD space, DWORD operation, DWORD flags, void *info, void *async,       \
     DWORD *status),                                                           \
    (space, operation, flags, info, async, status))                            \
  X(GetServiceA, int, SOCKET_ERROR,                                            \
    (DWORD space, GUID * guid, void *name, DWORD properties, void *buf,        \
     DWORD *size, void *async),                                                \
    (space, guid, name, properties, buf, size, async))                         \
  X(GetServiceW, int, SOCKET_ERROR,                                            \
    (DWORD space, GUID * guid, void *name, DWORD properties, void *buf,        \
     DWORD *size, void *async),                                                \
    (space, guid, name, properties, buf, size, async))                         \
  X(inet_network, unsigned long, INADDR_NONE, (const char *cp), (cp))          \
  X(getnetbyname, void *, nullptr, (const char *name), (name))                 \
  X(s_perror, void, nqws::NoResult{}, (const char *message), (message))

struct SystemCalls {
#define NQ_WS_FIELD(name, ...) decltype(&::name) name;
  NQ_WS_TRACED(NQ_WS_FIELD)
  NQ_WS_PLAIN(NQ_WS_FIELD)
#undef NQ_WS_FIELD
};

struct Extensions {  // null where mswsock.dll lacks the function
#define NQ_WS_FIELD(name, result, failed, params, args) \
  result(WINAPI *name) params;
  NQ_WS_EXTENSIONS(NQ_WS_FIELD)
#undef NQ_WS_FIELD
};

struct Hooks {  // all null when NETQUILL.DLL could not be loaded
#define NQ_WS_FIELD(name, ...) decltype(&::TX_##name) name;
  NQ_WS_TRACED(NQ_WS_FIELD)
#undef NQ_WS_FIELD
  decltype(&::WSAEnableTrace) enable;
  decltype(&::WSASetTraceDumpLimit) dump_limit;  // null in an older library
};

struct Backend {
  SystemCalls ws2;
  Extensions ext;
  Hooks hooks;
};

// netquill-run.exe's answer, asked on each traced call once it has
// announced itself: whether it traces this process's calls now. It then
// writes them, with its own settings, and this DLL only passes them on.
using LauncherTracesFn = BOOL(WINAPI *)();

// Called by DllMain: takes the environment and prepares the thread slot.
void AttachProcess(HMODULE self);

// Called by DllMain when the program unloads this DLL.
void DetachProcess();

// The backend, loaded on first use: no library is loaded under DllMain.
const Backend &Loaded();

// The same, and the calling thread's trace switched on by its first call;
// without hooks while netquill-run.exe traces the process.
const Backend &Traced();

}  // namespace nqws

#endif  // NQ_DROPIN_WSOCK32_BACKEND_H
