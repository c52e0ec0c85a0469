// What every hook shares: the guard, the capture and restore around the
// record, and the conversions of arguments to what the line formats print.
#ifndef NQ_HOOKS_HOOK_COMMON_H
#define NQ_HOOKS_HOOK_COMMON_H

#include <stddef.h>
#include <stdint.h>

#include "core/context.h"
#include "core/error_bridge.h"
#include "core/reentry.h"
#include "hooks/formatters.h"
#include "netquill.h"
#include "output/writer.h"

namespace nq {

// The guard: one unlocked read; nothing else runs while nobody traces, the
// case a hook is built for.
inline bool NobodyTraces() { return __builtin_expect(LiveContexts() <= 0, 1); }

// Socket handles print in signed decimal (the all-ones handle as -1).
inline ptrdiff_t Sock(NQ_SOCKET s) { return static_cast<ptrdiff_t>(s); }

// Pointers and handles print as 0x and hex at the platform's pointer width.
template <typename T>
inline size_t Ptr(T *p) {
  return reinterpret_cast<size_t>(p);
}

template <typename R, typename... A>
inline size_t Ptr(R (*p)(A...)) {
  return reinterpret_cast<size_t>(p);
}

inline const char *OrEmpty(const char *s) { return s ? s : ""; }

// The four bytes at addr as a dotted address; a null addr, or one of fewer
// than four bytes by the caller's length, is not read.
inline const char *AddressAt(const char *addr, int len) {
  return FormatInAddrOfLength(addr, len);
}

// What a send or receive moved, dumped after its call line: result bytes
// at buf, never more than len, none for a result below zero.
struct Moved {
  const void *buf;   // the caller's buffer
  long long len;     // its length as the caller gave it
  long long result;  // what the call returned: the bytes moved, or -1
};

// The calls that move no data.
constexpr Moved kNothingMoved = {nullptr, 0, -1};

// The bytes of what moved that the dump shows: the result, never more
// than the buffer's length. A result the socket call never returns must
// not send the dump past the caller's buffer.
inline size_t MovedCount(const Moved &moved) {
  long long len = moved.len < 0 ? 0 : moved.len;
  long long count = moved.result < len ? moved.result : len;
  return count < 0 ? 0 : static_cast<size_t>(count);
}

// Appends the dump of what moved (nothing for a result below zero).
void DumpMoved(TraceContext *ctx, const Moved &moved);

}  // namespace nq

// Runs the steps of a hook: capture, the call line formatted only when it
// would be written, and with it the dump of what moved, in one append;
// restore. A hook called while its thread is inside the library already
// (from a callback or a signal handler) does none of them. The steps are a
// function of their own, never inlined, so that a hook that finds nobody
// tracing sets up no more than a small frame around its guard.
#define NQ_TRACE_CALL(failed, moved, ...)                                      \
  [=]() __attribute__((noinline)) {                                            \
    ::nq::ThreadState *nq_ts = ::nq::EnterLibrary();                           \
    if (nq_ts == nullptr) return;                                              \
    ::nq::TraceContext *nq_ctx = ::nq::CaptureCallError(nq_ts, failed);        \
    const ::nq::Moved &nq_moved = (moved);                                     \
    if (!::nq::WouldWrite(nq_ctx, TRACE_KIND_CALL)) {                          \
      if (nq_moved.result >= 0) ::nq::DumpMoved(nq_ctx, nq_moved);             \
    } else if (nq_moved.result >= 0) {                                         \
      ::nq::TraceCallAndDump(nq_ctx, nq_moved.buf, ::nq::MovedCount(nq_moved), \
                             __VA_ARGS__);                                     \
    } else {                                                                   \
      ::nq::TraceFormat(TRACE_KIND_CALL, __VA_ARGS__);                         \
    }                                                                          \
    ::nq::RestoreCallError(nq_ts, nq_ctx);                                     \
    ::nq::LeaveLibrary(nq_ts);                                                 \
  }                                                                            \
  ()

#endif
