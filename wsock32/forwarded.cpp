// The untraced exports: passed on to ws2_32.dll or mswsock.dll as they are.
#include "backend.h"

using nqws::Loaded;

namespace {

// An extension that this system's mswsock.dll does not have fails as a
// call the socket library does not support.
template <typename R>
R Unsupported(const nqws::Backend &b, R failed) {
  b.ws2.WSASetLastError(WSAEOPNOTSUPP);
  return failed;
}

}  // namespace

extern "C" {

u_long WSAAPI Wsock32_htonl(u_long v) { return Loaded().ws2.htonl(v); }
u_short WSAAPI Wsock32_htons(u_short v) { return Loaded().ws2.htons(v); }
u_long WSAAPI Wsock32_ntohl(u_long v) { return Loaded().ws2.ntohl(v); }
u_short WSAAPI Wsock32_ntohs(u_short v) { return Loaded().ws2.ntohs(v); }

unsigned long WSAAPI Wsock32_inet_addr(const char *cp) {
  return Loaded().ws2.inet_addr(cp);
}

char *WSAAPI Wsock32_inet_ntoa(in_addr in) {
  return Loaded().ws2.inet_ntoa(in);
}

int WSAAPI Wsock32_WSAGetLastError() { return Loaded().ws2.WSAGetLastError(); }

void WSAAPI Wsock32_WSASetLastError(int code) {
  Loaded().ws2.WSASetLastError(code);
}

int WSAAPI Wsock32_WSAStartup(WORD version, WSADATA *data) {
  return Loaded().ws2.WSAStartup(version, data);
}

int WSAAPI Wsock32_WSACleanup() { return Loaded().ws2.WSACleanup(); }

int WSAAPI Wsock32___WSAFDIsSet(SOCKET s, fd_set *set) {
  return Loaded().ws2.__WSAFDIsSet(s, set);
}

// The exit procedure of 16-bit Windows: nothing has called it since.
int WSAAPI Wsock32_WEP() { return 1; }

// The private interface to the old TCP/IP driver has no counterpart in
// ws2_32.dll or mswsock.dll; programs that used it read the same
// information through the IP helper library today.
DWORD WSAAPI Wsock32_WsControl(DWORD, DWORD, void *, DWORD *, void *, DWORD *) {
  return WSAEOPNOTSUPP;
}

BOOL WSAAPI Wsock32_AcceptEx(SOCKET listener, SOCKET accepted, void *buf,
                             DWORD data_len, DWORD local_len, DWORD remote_len,
                             DWORD *received, OVERLAPPED *overlapped) {
  const nqws::Backend &b = Loaded();
  if (b.ext.AcceptEx == nullptr) return Unsupported(b, FALSE);
  return b.ext.AcceptEx(listener, accepted, buf, data_len, local_len,
                        remote_len, received, overlapped);
}

void WSAAPI Wsock32_GetAcceptExSockaddrs(void *buf, DWORD data_len,
                                         DWORD local_len, DWORD remote_len,
                                         sockaddr **local, int *local_size,
                                         sockaddr **remote, int *remote_size) {
  const nqws::Backend &b = Loaded();
  if (b.ext.GetAcceptExSockaddrs == nullptr) return;
  b.ext.GetAcceptExSockaddrs(buf, data_len, local_len, remote_len, local,
                             local_size, remote, remote_size);
}

BOOL WSAAPI Wsock32_TransmitFile(SOCKET s, HANDLE file, DWORD bytes,
                                 DWORD per_send, OVERLAPPED *overlapped,
                                 void *buffers, DWORD flags) {
  const nqws::Backend &b = Loaded();
  if (b.ext.TransmitFile == nullptr) return Unsupported(b, FALSE);
  return b.ext.TransmitFile(s, file, bytes, per_send, overlapped, buffers,
                            flags);
}

int WSAAPI Wsock32_WSARecvEx(SOCKET s, char *buf, int len, int *flags) {
  const nqws::Backend &b = Loaded();
  if (b.ext.WSARecvEx == nullptr) return Unsupported(b, SOCKET_ERROR);
  return b.ext.WSARecvEx(s, buf, len, flags);
}

int WSAAPI Wsock32_EnumProtocolsA(int *protocols, void *buf, DWORD *len) {
  const nqws::Backend &b = Loaded();
  if (b.ext.EnumProtocolsA == nullptr) return Unsupported(b, SOCKET_ERROR);
  return b.ext.EnumProtocolsA(protocols, buf, len);
}

int WSAAPI Wsock32_EnumProtocolsW(int *protocols, void *buf, DWORD *len) {
  const nqws::Backend &b = Loaded();
  if (b.ext.EnumProtocolsW == nullptr) return Unsupported(b, SOCKET_ERROR);
  return b.ext.EnumProtocolsW(protocols, buf, len);
}

int WSAAPI Wsock32_GetAddressByNameA(DWORD space, GUID *type, void *name,
                                     int *protocols, DWORD resolution,
                                     void *async, void *addrs, DWORD *addrs_len,
                                     void *aliases, DWORD *aliases_len) {
  const nqws::Backend &b = Loaded();
  if (b.ext.GetAddressByNameA == nullptr) return Unsupported(b, SOCKET_ERROR);
  return b.ext.GetAddressByNameA(space, type, name, protocols, resolution,
                                 async, addrs, addrs_len, aliases, aliases_len);
}

int WSAAPI Wsock32_GetAddressByNameW(DWORD space, GUID *type, void *name,
                                     int *protocols, DWORD resolution,
                                     void *async, void *addrs, DWORD *addrs_len,
                                     void *aliases, DWORD *aliases_len) {
  const nqws::Backend &b = Loaded();
  if (b.ext.GetAddressByNameW == nullptr) return Unsupported(b, SOCKET_ERROR);
  return b.ext.GetAddressByNameW(space, type, name, protocols, resolution,
                                 async, addrs, addrs_len, aliases, aliases_len);
}

int WSAAPI Wsock32_GetTypeByNameA(void *name, GUID *type) {
  const nqws::Backend &b = Loaded();
  if (b.ext.GetTypeByNameA == nullptr) return Unsupported(b, SOCKET_ERROR);
  return b.ext.GetTypeByNameA(name, type);
}

int WSAAPI Wsock32_GetTypeByNameW(void *name, GUID *type) {
  const nqws::Backend &b = Loaded();
  if (b.ext.GetTypeByNameW == nullptr) return Unsupported(b, SOCKET_ERROR);
  return b.ext.GetTypeByNameW(name, type);
}

int WSAAPI Wsock32_SetServiceA(DWORD space, DWORD operation, DWORD flags,
                               void *info, void *async, DWORD *status) {
  const nqws::Backend &b = Loaded();
  if (b.ext.SetServiceA == nullptr) return Unsupported(b, SOCKET_ERROR);
  return b.ext.SetServiceA(space, operation, flags, info, async, status);
}

int WSAAPI Wsock32_SetServiceW(DWORD space, DWORD operation, DWORD flags,
                               void *info, void *async, DWORD *status) {
  const nqws::Backend &b = Loaded();
  if (b.ext.SetServiceW == nullptr) return Unsupported(b, SOCKET_ERROR);
  return b.ext.SetServiceW(space, operation, flags, info, async, status);
}

int WSAAPI Wsock32_GetServiceA(DWORD space, GUID *guid, void *name,
                               DWORD properties, void *buf, DWORD *size,
                               void *async) {
  const nqws::Backend &b = Loaded();
  if (b.ext.GetServiceA == nullptr) return Unsupported(b, SOCKET_ERROR);
  return b.ext.GetServiceA(space, guid, name, properties, buf, size, async);
}

int WSAAPI Wsock32_GetServiceW(DWORD space, GUID *guid, void *name,
                               DWORD properties, void *buf, DWORD *size,
                               void *async) {
  const nqws::Backend &b = Loaded();
  if (b.ext.GetServiceW == nullptr) return Unsupported(b, SOCKET_ERROR);
  return b.ext.GetServiceW(space, guid, name, properties, buf, size, async);
}

unsigned long WSAAPI Wsock32_inet_network(const char *cp) {
  const nqws::Backend &b = Loaded();
  if (b.ext.inet_network == nullptr) return Unsupported(b, INADDR_NONE);
  return b.ext.inet_network(cp);
}

void *WSAAPI Wsock32_getnetbyname(const char *name) {
  const nqws::Backend &b = Loaded();
  if (b.ext.getnetbyname == nullptr)
    return Unsupported(b, static_cast<void *>(nullptr));
  return b.ext.getnetbyname(name);
}

void WSAAPI Wsock32_s_perror(const char *message) {
  const nqws::Backend &b = Loaded();
  if (b.ext.s_perror != nullptr) b.ext.s_perror(message);
}

}  // extern "C"
