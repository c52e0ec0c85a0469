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

// The Microsoft extensions, which live in mswsock.dll. Their types are
// spelled out here, as the SDK headers that declare them differ.
using AcceptExFn = BOOL(WINAPI *)(SOCKET, SOCKET, void *, DWORD, DWORD, DWORD,
                                  DWORD *, OVERLAPPED *);
using GetAcceptExSockaddrsFn = void(WINAPI *)(void *, DWORD, DWORD, DWORD,
                                              sockaddr **, int *, sockaddr **,
                                              int *);
using TransmitFileFn = BOOL(WINAPI *)(SOCKET, HANDLE, DWORD, DWORD,
                                      OVERLAPPED *, void *, DWORD);
using WSARecvExFn = int(WINAPI *)(SOCKET, char *, int, int *);
using EnumProtocolsFn = int(WINAPI *)(int *, void *, DWORD *);
using GetAddressByNameFn = int(WINAPI *)(DWORD, GUID *, void *, int *, DWORD,
                                         void *, void *, DWORD *, void *,
                                         DWORD *);
using GetTypeByNameFn = int(WINAPI *)(void *, GUID *);
using SetServiceFn = int(WINAPI *)(DWORD, DWORD, DWORD, void *, void *,
                                   DWORD *);
using GetServiceFn = int(WINAPI *)(DWORD, GUID *, void *, DWORD, void *,
                                   DWORD *, void *);
using InetNetworkFn = unsigned long(WINAPI *)(const char *);
using GetNetByNameFn = void *(WINAPI *)(const char *);
using SPerrorFn = void(WINAPI *)(const char *);

#define NQ_WS_EXTENSIONS(X)                       \
  X(AcceptEx, AcceptExFn)                         \
  X(GetAcceptExSockaddrs, GetAcceptExSockaddrsFn) \
  X(TransmitFile, TransmitFileFn)                 \
  X(WSARecvEx, WSARecvExFn)                       \
  X(EnumProtocolsA, EnumProtocolsFn)              \
  X(EnumProtocolsW, EnumProtocolsFn)              \
  X(GetAddressByNameA, GetAddressByNameFn)        \
  X(GetAddressByNameW, GetAddressByNameFn)        \
  X(GetTypeByNameA, GetTypeByNameFn)              \
  X(GetTypeByNameW, GetTypeByNameFn)              \
  X(SetServiceA, SetServiceFn)                    \
  X(SetServiceW, SetServiceFn)                    \
  X(GetServiceA, GetServiceFn)                    \
  X(GetServiceW, GetServiceFn)                    \
  X(inet_network, InetNetworkFn)                  \
  X(getnetbyname, GetNetByNameFn)                 \
  X(s_perror, SPerrorFn)

struct SystemCalls {
#define NQ_WS_FIELD(name, ...) decltype(&::name) name;
  NQ_WS_TRACED(NQ_WS_FIELD)
  NQ_WS_PLAIN(NQ_WS_FIELD)
#undef NQ_WS_FIELD
};

struct Extensions {  // null where mswsock.dll lacks the function
#define NQ_WS_FIELD(name, type) type name;
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
