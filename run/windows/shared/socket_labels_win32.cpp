// The labels of -y, from what ws2_32.dll says of each socket: its protocol
// (SO_PROTOCOL_INFOA), its own address and its peer's.
#include "socket_labels_win32.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <string.h>

#include "address_text_win32.h"
#include "output/line_views.h"
#include "socket_labels.h"

namespace nqrun {
namespace {

using SockOpt = int(WSAAPI *)(SOCKET, int, int, char *, int *);
using SockName = int(WSAAPI *)(SOCKET, sockaddr *, int *);
// The system's own functions, not the program's, found on first use;
// getsockopt last, so that once it is there the others are too.
struct SocketQueries {
  SockOpt volatile getsockopt;
  SockName getsockname;
  SockName getpeername;
};
SocketQueries g_ask;

nqdrop::LastLabels g_last;

// An address the system gave, for a label: empty when it has none to show
// (not bound yet: the unspecified address and port 0).
void PutLabelAddress(char *out, const sockaddr_storage &a, int length) {
  out[0] = '\0';
  if (a.ss_family == AF_INET) {
    const auto &in = reinterpret_cast<const sockaddr_in &>(a);
    if (in.sin_port == 0 && in.sin_addr.s_addr == 0) return;
  } else if (a.ss_family == AF_INET6) {
    const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(a);
    static const IN6_ADDR kAny = {};
    if (in6.sin6_port == 0 && memcmp(&in6.sin6_addr, &kAny, sizeof kAny) == 0)
      return;
  }
  char text[nq::kAddressText];
  const char *shown = nq::AddressText(text, &a, length);
  size_t n = strlen(shown);
  if (n >= nqdrop::kLabelAddressSize) n = nqdrop::kLabelAddressSize - 1;
  memcpy(out, shown, n);
  out[n] = '\0';
}

// The label of socket s: -1 for a handle that is no socket (closed), 0 for
// a socket of a family without one.
int LabelOf(SOCKET s, char *out) {
  WSAPROTOCOL_INFOA info;
  int length = sizeof info;
  if (g_ask.getsockopt(s, SOL_SOCKET, SO_PROTOCOL_INFOA,
                       reinterpret_cast<char *>(&info), &length) != 0)
    return -1;
  int family = info.iAddressFamily;
  if (family != AF_INET && family != AF_INET6 && family != AF_UNIX) return 0;
  sockaddr_storage local = {}, peer = {};
  int local_length = sizeof local, peer_length = sizeof peer;
  char mine[nqdrop::kLabelAddressSize] = "";
  char theirs[nqdrop::kLabelAddressSize] = "";
  if (g_ask.getsockname(s, reinterpret_cast<sockaddr *>(&local),
                        &local_length) == 0)
    PutLabelAddress(mine, local, local_length);
  if (g_ask.getpeername(s, reinterpret_cast<sockaddr *>(&peer), &peer_length) ==
      0)
    PutLabelAddress(theirs, peer, peer_length);
  nqdrop::LabelFamily kind = family == AF_INET    ? nqdrop::LabelFamily::kIPv4
                             : family == AF_INET6 ? nqdrop::LabelFamily::kIPv6
                                                  : nqdrop::LabelFamily::kUnix;
  return static_cast<int>(
      nqdrop::PutSocketLabel(out, nq::kSocketLabelMax, kind,
                             info.iSocketType == SOCK_STREAM, mine, theirs));
}

// A function of module, by name; null when it has none.
template <typename Fn>
Fn Found(HMODULE module, const char *name) {
  return reinterpret_cast<Fn>(
      reinterpret_cast<void *>(GetProcAddress(module, name)));
}

// The system's socket queries, from ws2_32.dll as the system has it; false
// when it is not loaded.
bool FindQueries() {
  HMODULE ws2 = GetModuleHandleW(L"ws2_32.dll");
  if (ws2 == nullptr) return false;
  auto option = Found<SockOpt>(ws2, "getsockopt");
  auto name = Found<SockName>(ws2, "getsockname");
  auto peer = Found<SockName>(ws2, "getpeername");
  if (option == nullptr || name == nullptr || peer == nullptr) return false;
  g_ask.getsockname = name;
  g_ask.getpeername = peer;
  MemoryBarrier();
  g_ask.getsockopt = option;
  return true;
}

}  // namespace

size_t LabelSocket(intptr_t socket, char *out) {
  // The socket's own handle values: never negative, never INVALID_SOCKET.
  if (socket <= 0) return 0;
  DWORD saved = GetLastError();
  if (g_ask.getsockopt == nullptr && !FindQueries()) {
    SetLastError(saved);
    return 0;
  }
  SOCKET s = static_cast<SOCKET>(socket);
  int len = LabelOf(s, out);
  if (len > 0) g_last.Remember(0, socket, out);
  // Closed already (the line of its closesocket): what it was when last
  // shown, once.
  if (len < 0 && GetLastError() == WSAENOTSOCK)
    len = static_cast<int>(g_last.Recall(0, socket, out));
  SetLastError(saved);
  return len > 0 ? static_cast<size_t>(len) : 0;
}

}  // namespace nqrun
