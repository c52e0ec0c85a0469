// What the interposer's files share: the lookup of the real functions, the
// private copy of an out-address, and the error codes of name lookups.
#ifndef NQ_DROPIN_NETQUILL_RUN_INTERPOSER_H
#define NQ_DROPIN_NETQUILL_RUN_INTERPOSER_H

#include <errno.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>

#include "netquill.h"
#include "preload_state.h"

// The real function, looked up on first use; real(...) calls it with the
// thread marked as inside it (RealCallScope).
#define NQ_REAL(name)                                                 \
  static const auto real_##name =                                     \
      reinterpret_cast<decltype(&::name)>(nqrun::NextSymbol(#name));  \
  const auto real = [](auto... args) __attribute__((always_inline)) { \
    nqrun::RealCallScope nq_in_real;                                  \
    return real_##name(args...);                                      \
  }

// Calls from inside the library (its own file writes) pass straight on.
#define NQ_PASS_INSIDE(call) \
  if (nqrun::InLibrary()) return call

namespace nqrun {

// An address the call wrote into the program's buffer, copied whole into
// one of our own: the hook reads a full address from the copy, never past
// what the call wrote. The program's buffer and length stay untouched.
class OutAddress {
 public:
  // Taken before the call: the length the program offers, read only as
  // the kernel reads it, so that an unreadable one makes the call fail
  // (EFAULT, or an earlier error) as it does untraced; it is then taken as
  // none. A call without an address never reads the length.
  OutAddress(const sockaddr *addr, const socklen_t *len)
      : addr_(addr != nullptr && len != nullptr ? addr : nullptr) {
    if (addr_ != nullptr && !CopyFromProgram(&before_, len, sizeof before_))
      before_ = 0;
  }

  // After the call (result below zero: it failed and wrote nothing): the
  // zero-filled copy of the valid bytes. Null when the program passed no
  // address.
  sockaddr *Copy(long result, const socklen_t *len) {
    if (addr_ == nullptr) return nullptr;
    memset(&copy_, 0, sizeof copy_);
    memcpy(&copy_, addr_, Valid(result, len));
    return reinterpret_cast<sockaddr *>(&copy_);
  }

  // The number of bytes of that copy: the smaller of the length offered
  // and the one reported (Linux reports the full size of an address it
  // cut); none when the call failed.
  socklen_t Valid(long result, const socklen_t *len) const {
    if (result < 0 || addr_ == nullptr) return 0;
    socklen_t valid = len != nullptr && *len < before_ ? *len : before_;
    return valid < sizeof copy_ ? valid : sizeof copy_;
  }

 private:
  const sockaddr *addr_;
  socklen_t before_ = 0;
  sockaddr_storage copy_;
};

// The thread's dumps held off for one hook call: a receive that discarded
// its bytes left the buffer as it was, and a dump would show stale bytes.
class NoDumpScope {
 public:
  explicit NoDumpScope(bool discarded) : held_(discarded) {
    if (held_) flags_ = WSASetTraceFlags(WSAGetTraceFlags() & ~TRACE_FLAG_DUMP);
  }
  ~NoDumpScope() {
    if (held_) WSASetTraceFlags(flags_);
  }
  NoDumpScope(const NoDumpScope &) = delete;
  NoDumpScope &operator=(const NoDumpScope &) = delete;

 private:
  bool held_;
  uint32_t flags_ = 0;
};

// The name-resolution codes of the Windows socket API, which the trace
// gives failed lookups: WSAHOST_NOT_FOUND is 11001.
constexpr int kHostNotFound = 11001;
constexpr int kNoData = 11004;  // also every failed getserv* and getproto*

// The code of a failed gethostby* call: 11000 + h_errno, or errno for
// NETDB_INTERNAL.
inline int HostCode() {
  return h_errno == NETDB_INTERNAL ? errno : 11000 + h_errno;
}

// The code of a failed getaddrinfo or getnameinfo: the resolver's four
// codes as Windows has them, the system's errno for EAI_SYSTEM, and the
// others as they are.
inline int AddrInfoCode(int result) {
  switch (result) {
    case EAI_NONAME:
      return kHostNotFound;
    case EAI_AGAIN:
      return kHostNotFound + 1;
    case EAI_FAIL:
      return kHostNotFound + 2;
    case EAI_NODATA:
      return kNoData;
    case EAI_SYSTEM:
      return errno;
    default:
      return result;
  }
}

// Hands code (when not 0) to the hook as the error code of a lookup, and
// puts the program's errno and h_errno back when the scope ends.
class LookupCode {
 public:
  explicit LookupCode(int code) : errno_(errno), h_errno_(h_errno) {
    if (code != 0) errno = code;
  }
  ~LookupCode() {
    errno = errno_;
    h_errno = h_errno_;
  }
  LookupCode(const LookupCode &) = delete;
  LookupCode &operator=(const LookupCode &) = delete;

 private:
  int errno_;
  int h_errno_;
};

// A system call made through syscall() that this library traces: made
// through the C library's function of that name, which is interposed, its
// result in *result. False for every other number.
bool RouteSyscall(long number, const long a[6], long *result);

}  // namespace nqrun

#endif  // NQ_DROPIN_NETQUILL_RUN_INTERPOSER_H
