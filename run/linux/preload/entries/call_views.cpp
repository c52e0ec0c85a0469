// What netquill-run -T and -y add to call lines: each call's start and
// duration, and what each socket in a line is.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "entries/posix_entries.h"
#include "output/call_views.h"
#include "output/format.h"
#include "platform/posix/local_zone.h"
#include "socket_labels.h"

namespace {

int (*g_borrow)(int fd) = nullptr;
int g_process = 0;  // whose descriptors a borrow reaches; 0: our own

nqdrop::LastLabels g_last;

// "a.b.c.d:port", "[addr]:port" or the path of a UNIX socket (escaped, as
// lines show names), into out; its length, 0 for a family without one.
size_t PutAddress(char *out, size_t size, const sockaddr_storage &a,
                  socklen_t len) {
  char host[INET6_ADDRSTRLEN];
  if (a.ss_family == AF_INET) {
    const auto &in = reinterpret_cast<const sockaddr_in &>(a);
    inet_ntop(AF_INET, &in.sin_addr, host, sizeof host);
    return nq::Format(out, size, "%s:%u", host, ntohs(in.sin_port));
  }
  if (a.ss_family == AF_INET6) {
    const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(a);
    inet_ntop(AF_INET6, &in6.sin6_addr, host, sizeof host);
    return nq::Format(out, size, "[%s]:%u", host, ntohs(in6.sin6_port));
  }
  if (a.ss_family == AF_UNIX) {
    const auto &un = reinterpret_cast<const sockaddr_un &>(a);
    size_t path = len > offsetof(sockaddr_un, sun_path)
                      ? len - offsetof(sockaddr_un, sun_path)
                      : 0;
    if (path == 0) return 0;
    // An abstract name starts with a NUL, shown as \x00 like the lines do.
    if (un.sun_path[0] != '\0') path = strnlen(un.sun_path, path);
    return nq::PutEscapedBytes(out, size, un.sun_path, path);
  }
  return 0;
}

// Whether a's address is the unspecified one with port 0: a socket not
// bound yet, which has no address to show.
bool Unbound(const sockaddr_storage &a) {
  static const in6_addr kAny6 = IN6ADDR_ANY_INIT;
  if (a.ss_family == AF_INET) {
    const auto &in = reinterpret_cast<const sockaddr_in &>(a);
    return in.sin_port == 0 && in.sin_addr.s_addr == 0;
  }
  if (a.ss_family == AF_INET6) {
    const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(a);
    return in6.sin6_port == 0 &&
           memcmp(&in6.sin6_addr, &kAny6, sizeof kAny6) == 0;
  }
  return false;
}

// The label of socket fd, one of this process's: "<TCP:[local->peer]>",
// "<UDP:[local]>", "<TCP>" when it has no address yet; 0 for a socket of
// another family, -1 (errno set) for a descriptor that is none.
ssize_t LabelOwn(int fd, char *out) {
  int family = 0, type = 0;
  socklen_t n = sizeof family;
  if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &family, &n) != 0) return -1;
  n = sizeof type;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &n) != 0) return -1;
  if (family != AF_INET && family != AF_INET6 && family != AF_UNIX) return 0;
  sockaddr_storage local = {}, peer = {};
  socklen_t local_len = sizeof local, peer_len = sizeof peer;
  char mine[nqdrop::kLabelAddressSize] = "";
  char theirs[nqdrop::kLabelAddressSize] = "";
  if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &local_len) == 0 &&
      !Unbound(local))
    PutAddress(mine, sizeof mine, local, local_len);
  if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peer_len) == 0)
    PutAddress(theirs, sizeof theirs, peer, peer_len);
  nqdrop::LabelFamily kind = family == AF_INET    ? nqdrop::LabelFamily::kIPv4
                             : family == AF_INET6 ? nqdrop::LabelFamily::kIPv6
                                                  : nqdrop::LabelFamily::kUnix;
  bool stream = type == SOCK_STREAM || type == SOCK_SEQPACKET;
  return static_cast<ssize_t>(nqdrop::PutSocketLabel(
      out, nq::kSocketLabelMax, kind, stream, mine, theirs));
}

size_t LabelSocket(intptr_t socket, char *out) {
  if (socket < 0 || socket > 0x7FFFFFFF) return 0;
  int saved = errno;
  int fd = static_cast<int>(socket);
  ssize_t len = -1;
  if (g_borrow == nullptr) {
    len = LabelOwn(fd, out);
  } else {
    int copy = g_borrow(fd);
    if (copy >= 0) {
      len = LabelOwn(copy, out);
      close(copy);
    } else {
      errno = EBADF;
    }
  }
  if (len > 0) g_last.Remember(g_process, fd, out);
  // Closed already (the line of its close): what it was when last shown,
  // once.
  if (len < 0 && errno == EBADF)
    len = static_cast<ssize_t>(g_last.Recall(g_process, fd, out));
  errno = saved;
  return len > 0 ? static_cast<size_t>(len) : 0;
}

}  // namespace

extern "C" {

void NQP_NoteCallTimes(const struct timespec *start,
                       const struct timespec *began,
                       const struct timespec *ended) {
  nq::LocalTime local;
  nq::ZoneLocalTime(start->tv_sec, &local);
  uint32_t second = static_cast<uint32_t>(local.hour * 3600 +
                                          local.minute * 60 + local.second);
  int64_t took = (ended->tv_sec - began->tv_sec) * 1000000 +
                 (ended->tv_nsec - began->tv_nsec) / 1000;
  if (took < 0) took = 0;
  nq::NoteCallTimes(second, static_cast<uint32_t>(start->tv_nsec / 1000),
                    static_cast<uint32_t>(took / 1000000),
                    static_cast<uint32_t>(took % 1000000));
}

void NQP_SetCallViews(int timed, int labelled, int (*borrow)(int fd)) {
  g_borrow = borrow;
  nq::g_socket_label = labelled ? LabelSocket : nullptr;
  if (timed || labelled) nq::ShowCallViews();
}

void NQP_LabelSocketsOf(int process_id) { g_process = process_id; }

}  // extern "C"
