// Entries of the POSIX library for the calls that the Windows socket API
// does not have: the data calls of the C library on a socket, with their
// dumps (sendfile's read back from its file by the caller); socketpair; the
// out-address calls with the bytes the call wrote; and the name lookups of
// getaddrinfo and getnameinfo. Each line carries the call's own name.
#include <netdb.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include "entries/posix_entries.h"
#include "entries/ring_records.h"
#include "hooks/hook_common.h"
#include "output/dump.h"

using namespace nq;

// An iovec is laid out as a dump piece: the buffers are dumped where they
// lie, without a copy.
static_assert(sizeof(struct iovec) == sizeof(DumpPiece) &&
                  offsetof(struct iovec, iov_base) ==
                      offsetof(DumpPiece, data) &&
                  offsetof(struct iovec, iov_len) == offsetof(DumpPiece, size),
              "iovec and DumpPiece differ");

// The steps of NQ_TRACE_CALL for a call that moved moved bytes (none when
// below zero) through n pieces: one admission, then the line and the dump
// of the pieces where they lie, in one append.
#define NQ_TRACE_PIECES(failed, pieces, n, moved, ...)                   \
  do {                                                                   \
    if (!::nq::EnterCall(failed)) break;                                 \
    [&]() __attribute__((noinline)) {                                    \
      ::nq::TraceContext *nq_ctx = ::nq::CallContext();                  \
      ::nq::Admission nq_a =                                             \
          ::nq::AdmitRecord(nq_ctx, TRACE_KIND_CALL, ::nq::LastError()); \
      ::nq::DumpOf nq_moved = {pieces, static_cast<size_t>(n),           \
                               static_cast<size_t>(moved)};              \
      const ::nq::DumpOf *nq_dump = (moved) >= 0 ? &nq_moved : nullptr;  \
      NQ_CALL_RECORD(nq_ctx, nq_a, nq_dump, __VA_ARGS__);                \
    }                                                                    \
    ();                                                                  \
    ::nq::LeaveCall();                                                   \
  } while (0)

namespace {

const DumpPiece *Pieces(const struct iovec *iov) {
  return reinterpret_cast<const DumpPiece *>(iov);
}

// The bytes a gathered call moved that its pieces hold: the result, never
// more than the buffers; -1 for a failed call. A count below zero (a
// caller's error) is taken as no pieces.
long long MovedInPieces(long long result, const struct iovec *iov, int count) {
  if (result < 0) return -1;
  unsigned long long room = 0;
  for (int i = 0; iov != nullptr && i < count; ++i) room += iov[i].iov_len;
  return static_cast<unsigned long long>(result) < room
             ? result
             : static_cast<long long>(room);
}

// The valid length of a sent message's address: its msg_namelen, read
// from the header only once the record knows the call could read it.
constexpr socklen_t kSentName = ~socklen_t{0};

// A message's address: the bytes the call read (a send) or wrote (valid).
// A header the kernel could not read is not read either: "<0 bytes>".
const char *MessageName(const struct msghdr *msg, socklen_t valid,
                        bool refused = false) {
  if (refused)
    return FormatSockAddrOfLength(reinterpret_cast<const sockaddr *>(msg), 0);
  if (valid == kSentName) valid = msg->msg_namelen;
  if (msg->msg_name == nullptr) return FormatSockAddrOfLength(nullptr, 0);
  return FormatSockAddrOfLength(static_cast<const sockaddr *>(msg->msg_name),
                                static_cast<int>(valid));
}

__attribute__((noinline, cold)) ssize_t Data(const char *name, ssize_t result,
                                             int fd, const void *buf,
                                             size_t count) {
  NQ_TRACE_CALL(result == -1,
                (Moved{buf, static_cast<long long>(count), result}),
                "%s(%d, 0x%zx, %zd) %s", name, fd, Ptr(buf),
                static_cast<ptrdiff_t>(count), FormatIntResult(result));
  return result;
}

__attribute__((noinline, cold)) ssize_t Vector(const char *name, ssize_t result,
                                               int fd, const struct iovec *iov,
                                               int iovcnt) {
  long long moved = MovedInPieces(result, iov, iovcnt);
  NQ_TRACE_PIECES(
      result == -1, Pieces(iov),
      iov != nullptr && iovcnt > 0 ? static_cast<size_t>(iovcnt) : 0, moved,
      "%s(%d, 0x%zx, %d) %s", name, fd, Ptr(iov), iovcnt,
      FormatIntResult(result));
  return result;
}

__attribute__((noinline, cold)) ssize_t Message(const char *name,
                                                ssize_t result, int fd,
                                                const struct msghdr *msg,
                                                int flags,
                                                socklen_t name_valid) {
  if (msg == nullptr) {
    NQ_TRACE_CALL(result == -1, kNothingMoved, "%s(%d, 0x0, NULL, %d) %s", name,
                  fd, flags, FormatIntResult(result));
    return result;
  }
  if (result == -1) {  // nothing moved; the header read only if the call could
    NQ_TRACE_CALL(true, kNothingMoved, "%s(%d, 0x%zx, %s, %d) %s", name, fd,
                  Ptr(msg), MessageName(msg, name_valid, MemoryRefused(true)),
                  flags, FormatIntResult(result));
    return result;
  }
  int count = static_cast<int>(msg->msg_iovlen);
  long long moved = MovedInPieces(result, msg->msg_iov, count);
  NQ_TRACE_PIECES(
      result == -1, Pieces(msg->msg_iov),
      msg->msg_iov != nullptr && count > 0 ? static_cast<size_t>(count) : 0,
      moved, "%s(%d, 0x%zx, %s, %d) %s", name, fd, Ptr(msg),
      MessageName(msg, name_valid), flags, FormatIntResult(result));
  return result;
}

// One line per message that moved, each with its own count and dump; a
// call that moved none is one line for the whole vector.
__attribute__((noinline, cold)) int Messages(const char *name, int result,
                                             int fd,
                                             const struct mmsghdr *msgvec,
                                             unsigned vlen, int flags,
                                             const socklen_t *name_valid) {
  if (result <= 0 || msgvec == nullptr) {
    NQ_TRACE_CALL(result == -1, kNothingMoved, "%s(%d, 0x%zx, %u, %d) %s", name,
                  fd, Ptr(msgvec), vlen, flags, FormatIntResult(result));
    return result;
  }
  unsigned done = static_cast<unsigned>(result) < vlen
                      ? static_cast<unsigned>(result)
                      : vlen;
  for (unsigned i = 0; i < done; ++i) {
    const struct msghdr *msg = &msgvec[i].msg_hdr;
    Message(name, static_cast<ssize_t>(msgvec[i].msg_len), fd, msg, flags,
            name_valid != nullptr ? name_valid[i] : msg->msg_namelen);
  }
  return result;
}

__attribute__((noinline, cold)) int OutAddress(const char *name, int result,
                                               int s,
                                               const struct sockaddr *addr,
                                               const socklen_t *len,
                                               socklen_t valid) {
  NQ_TRACE_CALL(result == -1, kNothingMoved, "%s(%d, %s, 0x%zx) %s", name, s,
                FormatSockAddrOfLength(addr, static_cast<int>(valid)), Ptr(len),
                FormatIntResult(result));
  return result;
}

// A caller's string in double quotes, escaped, at p (room bytes); a null
// one as NULL. Returns the end.
char *PutQuoted(char *p, size_t room, const char *text) {
  if (text == nullptr) return p + Format(p, room, "NULL");
  *p++ = '"';
  p += PutEscaped(p, room - 2, text, SIZE_MAX);
  *p++ = '"';
  *p = '\0';
  return p;
}

constexpr size_t kNameText = 1040;  // a host name of 256 bytes, all escaped
constexpr size_t kListText = 1024;  // as much as the line can take

}  // namespace

ssize_t NQX_read(ssize_t result, int fd, const void *buf, size_t count) {
  if (NobodyTraces()) return result;
  return Data("read", result, fd, buf, count);
}

ssize_t NQX_write(ssize_t result, int fd, const void *buf, size_t count) {
  if (NobodyTraces()) return result;
  return Data("write", result, fd, buf, count);
}

ssize_t NQX_readv(ssize_t result, int fd, const struct iovec *iov, int iovcnt) {
  if (NobodyTraces()) return result;
  return Vector("readv", result, fd, iov, iovcnt);
}

ssize_t NQX_writev(ssize_t result, int fd, const struct iovec *iov,
                   int iovcnt) {
  if (NobodyTraces()) return result;
  return Vector("writev", result, fd, iov, iovcnt);
}

ssize_t NQX_sendmsg(ssize_t result, int fd, const struct msghdr *msg,
                    int flags) {
  if (NobodyTraces()) return result;
  return Message("sendmsg", result, fd, msg, flags, kSentName);
}

ssize_t NQX_recvmsg(ssize_t result, int fd, const struct msghdr *msg, int flags,
                    socklen_t name_valid) {
  if (NobodyTraces()) return result;
  return Message("recvmsg", result, fd, msg, flags, name_valid);
}

int NQX_sendmmsg(int result, int fd, const struct mmsghdr *msgvec,
                 unsigned int vlen, int flags) {
  if (NobodyTraces()) return result;
  return Messages("sendmmsg", result, fd, msgvec, vlen, flags, nullptr);
}

int NQX_recvmmsg(int result, int fd, const struct mmsghdr *msgvec,
                 unsigned int vlen, int flags, const socklen_t *name_valid) {
  if (NobodyTraces()) return result;
  return Messages("recvmmsg", result, fd, msgvec, vlen, flags, name_valid);
}

ssize_t NQX_sendfile(ssize_t result, int out_fd, int in_fd, const off_t *offset,
                     size_t count, const void *sent) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == -1,
                (Moved{sent, static_cast<long long>(result), result}),
                "sendfile(%d, %d, 0x%zx, %zd) %s", out_fd, in_fd, Ptr(offset),
                static_cast<ptrdiff_t>(count), FormatIntResult(result));
  return result;
}

ssize_t NQX_splice(ssize_t result, int fd_in, const void *off_in, int fd_out,
                   const void *off_out, size_t len, unsigned int flags) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == -1, kNothingMoved,
                "splice(%d, 0x%zx, %d, 0x%zx, %zd, %u) %s", fd_in, Ptr(off_in),
                fd_out, Ptr(off_out), static_cast<ptrdiff_t>(len), flags,
                FormatIntResult(result));
  return result;
}

int NQX_socketpair(int result, int domain, int type, int protocol,
                   const int sv[2]) {
  if (NobodyTraces()) return result;
  if (result == 0 && sv != nullptr) {
    NQ_TRACE_CALL(false, kNothingMoved, "socketpair(%d, %d, %d, [%d, %d]) %s",
                  domain, type, protocol, sv[0], sv[1],
                  FormatIntResult(result));
  } else {
    NQ_TRACE_CALL(result == -1, kNothingMoved,
                  "socketpair(%d, %d, %d, 0x%zx) %s", domain, type, protocol,
                  Ptr(sv), FormatIntResult(result));
  }
  return result;
}

int NQX_accept(int result, int s, const struct sockaddr *addr,
               const socklen_t *addrlen, socklen_t valid) {
  if (NobodyTraces()) return result;
  return OutAddress("accept", result, s, addr, addrlen, valid);
}

int NQX_getpeername(int result, int s, const struct sockaddr *name,
                    const socklen_t *namelen, socklen_t valid) {
  if (NobodyTraces()) return result;
  return OutAddress("getpeername", result, s, name, namelen, valid);
}

int NQX_getsockname(int result, int s, const struct sockaddr *name,
                    const socklen_t *namelen, socklen_t valid) {
  if (NobodyTraces()) return result;
  return OutAddress("getsockname", result, s, name, namelen, valid);
}

ssize_t NQX_recvfrom(ssize_t result, int s, const void *buf, size_t len,
                     int flags, const struct sockaddr *from,
                     const socklen_t *fromlen, socklen_t valid) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == -1, (Moved{buf, static_cast<long long>(len), result}),
                "recvfrom(%d, 0x%zx, %zd, %d, %s, 0x%zx) %s", s, Ptr(buf),
                static_cast<ptrdiff_t>(len), flags,
                FormatSockAddrOfLength(from, static_cast<int>(valid)),
                Ptr(fromlen), FormatIntResult(result));
  return result;
}

// The name lookups build their texts on the stack, and only for a line
// that admission lets through.
template <typename Build>
__attribute__((noinline, cold)) void TraceLookup(bool failed, Build build) {
  if (!EnterCall(failed)) return;
  TraceContext *ctx = CallContext();
  Admission a = AdmitRecord(ctx, TRACE_KIND_CALL, LastError());
  if (a.write) build(ctx, a);
  LeaveCall();
}

// What was asked, and every address that came back, in the order given:
//   getaddrinfo("localhost", "80") returned 0 (127.0.0.1:80, [::1]:80)
int NQX_getaddrinfo(int result, const char *node, const char *service,
                    const struct addrinfo *res) {
  if (NobodyTraces()) return result;
  TraceLookup(result != 0, [=](TraceContext *ctx, const Admission &a) {
    char asked[2][kNameText];
    PutQuoted(asked[0], sizeof asked[0], node);
    PutQuoted(asked[1], sizeof asked[1], service);
    char list[kListText] = "";
    char *p = list;
    char *end = list + sizeof list - 2;  // room for ')' and the terminator
    for (const struct addrinfo *ai = result == 0 ? res : nullptr;
         ai != nullptr && p < end; ai = ai->ai_next) {
      *p++ = ai == res ? '(' : ',';
      if (ai != res && p < end) *p++ = ' ';
      p += Format(p, static_cast<size_t>(end - p), "%s",
                  FormatSockAddrOfLength(ai->ai_addr,
                                         static_cast<int>(ai->ai_addrlen)));
    }
    if (p != list) *p++ = ')';
    *p = '\0';
    TraceCall(ctx, a, nullptr, "getaddrinfo(%s, %s) %s%s%s", asked[0], asked[1],
              FormatIntResult(result), list[0] ? " " : "", list);
  });
  return result;
}

// The address asked about, and the names that came back:
//   getnameinfo(127.0.0.1:80, 16, 0) returned 0 ("localhost", "http")
int NQX_getnameinfo(int result, const struct sockaddr *sa, socklen_t salen,
                    const char *host, const char *serv, int flags) {
  if (NobodyTraces()) return result;
  TraceLookup(result != 0, [=](TraceContext *ctx, const Admission &a) {
    char names[2][kNameText] = {"", ""};
    if (result == 0) {
      PutQuoted(names[0], sizeof names[0], host);
      PutQuoted(names[1], sizeof names[1], serv);
    }
    TraceCall(ctx, a, nullptr, "getnameinfo(%s, %d, %d) %s%s%s%s%s%s",
              FormatSockAddrOfLength(sa, static_cast<int>(salen)),
              static_cast<int>(salen), flags, FormatIntResult(result),
              result == 0 ? " (" : "", names[0], result == 0 ? ", " : "",
              names[1], result == 0 ? ")" : "");
  });
  return result;
}

void NQP_ForgetInheritedTrace(void) {
  nq::FreeEndingThreadContext();
  nq::RingInChild();
}
