// The calls the injected DLL replaces in a program's import tables, listed
// once: the 36 socket calls NETQUILL traces, and the few KERNEL32 calls it
// watches so that it reaches modules and processes that come later.
#ifndef NQ_DROPIN_NETQUILL_RUN_WIN_CALLS_H
#define NQ_DROPIN_NETQUILL_RUN_WIN_CALLS_H

// X(name, ws2, ws1, bytes): the function's name, its ordinal in ws2_32.dll
// and in wsock32.dll (Windows Sockets 2 kept the 1.1 numbers but swapped
// ioctlsocket with inet_addr and inet_ntoa: its 12 is inet_ntoa), and what
// it takes on the stack on 32-bit x86.
#define NQRUN_TRACED_CALLS(X)               \
  X(accept, 1, 1, 12)                       \
  X(bind, 2, 2, 12)                         \
  X(closesocket, 3, 3, 4)                   \
  X(connect, 4, 4, 12)                      \
  X(getpeername, 5, 5, 12)                  \
  X(getsockname, 6, 6, 12)                  \
  X(getsockopt, 7, 7, 20)                   \
  X(ioctlsocket, 10, 12, 12)                \
  X(listen, 13, 13, 8)                      \
  X(recv, 16, 16, 16)                       \
  X(recvfrom, 17, 17, 24)                   \
  X(select, 18, 18, 20)                     \
  X(send, 19, 19, 16)                       \
  X(sendto, 20, 20, 24)                     \
  X(setsockopt, 21, 21, 20)                 \
  X(shutdown, 22, 22, 8)                    \
  X(socket, 23, 23, 12)                     \
  X(gethostbyaddr, 51, 51, 12)              \
  X(gethostbyname, 52, 52, 4)               \
  X(getprotobyname, 53, 53, 4)              \
  X(getprotobynumber, 54, 54, 4)            \
  X(getservbyname, 55, 55, 8)               \
  X(getservbyport, 56, 56, 8)               \
  X(gethostname, 57, 57, 8)                 \
  X(WSAAsyncSelect, 101, 101, 16)           \
  X(WSAAsyncGetHostByAddr, 102, 102, 28)    \
  X(WSAAsyncGetHostByName, 103, 103, 20)    \
  X(WSAAsyncGetProtoByNumber, 104, 104, 20) \
  X(WSAAsyncGetProtoByName, 105, 105, 20)   \
  X(WSAAsyncGetServByPort, 106, 106, 24)    \
  X(WSAAsyncGetServByName, 107, 107, 24)    \
  X(WSACancelAsyncRequest, 108, 108, 4)     \
  X(WSASetBlockingHook, 109, 109, 4)        \
  X(WSAUnhookBlockingHook, 110, 110, 0)     \
  X(WSACancelBlockingCall, 113, 113, 0)     \
  X(WSAIsBlocking, 114, 114, 0)

// X(name, bytes): the KERNEL32 calls replaced by the DLL's own.
#define NQRUN_KERNEL_CALLS(X) \
  X(LoadLibraryA, 4)          \
  X(LoadLibraryW, 4)          \
  X(LoadLibraryExA, 12)       \
  X(LoadLibraryExW, 12)       \
  X(GetProcAddress, 8)        \
  X(CreateProcessA, 40)       \
  X(CreateProcessW, 40)

#endif  // NQ_DROPIN_NETQUILL_RUN_WIN_CALLS_H
