// The system's socket libraries and NETQUILL.DLL as this DLL reaches them:
// every function looked up once, on the first call into the DLL.
#ifndef NQ_DROPIN_WSOCK32_BACKEND_H
#define NQ_DROPIN_WSOCK32_BACKEND_H

#include "netquill.h"

namespace nqws {

// The Windows Sockets 1.1 functions that NETQUILL traces.
#define NQ_WS_TRACED(X)       \
  X(accept)                   \
  X(bind)                     \
  X(closesocket)              \
  X(connect)                  \
  X(getpeername)              \
  X(getsockname)              \
  X(getsockopt)               \
  X(ioctlsocket)              \
  X(listen)                   \
  X(recv)                     \
  X(recvfrom)                 \
  X(select)                   \
  X(send)                     \
  X(sendto)                   \
  X(setsockopt)               \
  X(shutdown)                 \
  X(socket)                   \
  X(gethostbyaddr)            \
  X(gethostbyname)            \
  X(getprotobyname)           \
  X(getprotobynumber)         \
  X(getservbyname)            \
  X(getservbyport)            \
  X(gethostname)              \
  X(WSAAsyncSelect)           \
  X(WSAAsyncGetHostByAddr)    \
  X(WSAAsyncGetHostByName)    \
  X(WSAAsyncGetProtoByNumber) \
  X(WSAAsyncGetProtoByName)   \
  X(WSAAsyncGetServByPort)    \
  X(WSAAsyncGetServByName)    \
  X(WSACancelAsyncRequest)    \
  X(WSASetBlockingHook)       \
  X(WSAUnhookBlockingHook)    \
  X(WSACancelBlockingCall)    \
  X(WSAIsBlocking)

// The rest of Windows Sockets 1.1, passed on as it is.
#define NQ_WS_PLAIN(X) \
  X(htonl)             \
  X(htons)             \
  X(inet_addr)         \
  X(inet_ntoa)         \
  X(ntohl)             \
  X(ntohs)             \
  X(WSAGetLastError)   \
  X(WSASetLastError)   \
  X(WSAStartup)        \
  X(WSACleanup)        \
  X(__WSAFDIsSet)

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
#define NQ_WS_FIELD(name) decltype(&::name) name;
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
#define NQ_WS_FIELD(name) decltype(&::TX_##name) name;
  NQ_WS_TRACED(NQ_WS_FIELD)
#undef NQ_WS_FIELD
  decltype(&::WSAEnableTrace) enable;
};

struct Backend {
  SystemCalls ws2;
  Extensions ext;
  Hooks hooks;
};

// Called by DllMain: takes the environment and prepares the thread slot.
void AttachProcess(HMODULE self);

// Called by DllMain when the program unloads this DLL.
void DetachProcess();

// The backend, loaded on first use: no library is loaded under DllMain.
const Backend &Loaded();

// The same, and the calling thread's trace switched on by its first call.
const Backend &Traced();

}  // namespace nqws

#endif  // NQ_DROPIN_WSOCK32_BACKEND_H
