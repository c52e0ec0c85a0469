// What every hook shares: the guard, the capture and restore around the
// record, and the conversions of arguments to what the line formats print.
#ifndef NQ_HOOKS_HOOK_COMMON_H
#define NQ_HOOKS_HOOK_COMMON_H

// A header of the top floor: a file below it must not include it.
#if NQ_FLOOR < 4
#error "src/hooks/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stddef.h>
#include <stdint.h>

#include "core/admission.h"
#include "core/context.h"
#include "core/error_bridge.h"
#include "core/reentry.h"
#include "hooks/formatters.h"
#include "netquill.h"
#include "output/writer.h"
#include "platform/os.h"

namespace nq {

// The guard: one unlocked read; nothing else runs while nobody traces, the
// case a hook is built for.
inline bool NobodyTraces() { return __builtin_expect(LiveContexts() <= 0, 1); }

// Socket handles print in signed decimal (the all-ones handle as -1).
inline ptrdiff_t Sock(NQ_SOCKET s) { return static_cast<ptrdiff_t>(s); }

// Where a reader of another process's calls, which hands the hooks copies
// of that process's memory, has each copy lie in the process; null when
// every pointer a hook gets is the caller's own.
extern size_t (*g_shown_address)(const void *p);

// Pointers and handles print as 0x and hex at the platform's pointer width,
// a copy's as the address of what it copies.
template <typename T>
inline size_t Ptr(T *p) {
  const void *at = reinterpret_cast<const void *>(p);
  return g_shown_address == nullptr ? reinterpret_cast<size_t>(at)
                                    : g_shown_address(at);
}

template <typename R, typename... A>
inline size_t Ptr(R (*p)(A...)) {
  return reinterpret_cast<size_t>(p);
}

inline const char *OrEmpty(const char *s) { return s ? s : ""; }

// A caller's string argument as a call line shows it, escaped (PutEscaped),
// at most max bytes of it; a null one as "(null)". Returned by value, it
// lives on the hook's stack until the line is written.
struct EscapedText {
  char text[kTraceFormatSize];
};

EscapedText Escape(const char *s, size_t max = SIZE_MAX);

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

// What moved as the one piece of a record's dump: the caller's buffer, no
// pieces when nothing moved (a result below zero) or the caller gave no
// buffer.
inline size_t MovedPieces(const Moved &moved) {
  return moved.result >= 0 && moved.buf != nullptr ? 1 : 0;
}

// A hook's first steps: marks the thread as inside the library and
// captures the caller's error code. True when the thread has a context and
// its record follows, to be ended by LeaveCall; false when there is
// nothing more to do: the thread is inside the library already, has no
// state, or has no context (and then its code is handed back already).
// The hook keeps nothing across the record, so that its own frame stays
// as small as its guard needs.
bool EnterCall(int failed);

// The context that EnterCall found, which the thread's state remembers.
inline TraceContext *CallContext() { return ThisThread()->context; }

// A hook's last steps after its record: restores the caller's error code
// and leaves the library.
void LeaveCall();

// Whether a call failed because the kernel could not read the caller's
// memory, or before it read any (the descriptor is none, or no socket):
// then the record reads none of it either. Inside a record only.
inline bool MemoryRefused(bool failed) {
  if (!failed || kSystemMemoryFault == 0) return false;
  int32_t code = LastError();
  return code == kSystemMemoryFault || code == kSystemBadDescriptor ||
         code == kSystemNotSocket;
}

// The bytes of a caller's address a record may read: none of a call the
// kernel refused for its memory, whose place then shows "<0 bytes>".
inline int ReadableLength(bool failed, int length) {
  return MemoryRefused(failed) ? 0 : length;
}

}  // namespace nq

// Runs the steps of a hook: capture (EnterCall); the one admission of its
// record, which says whether its line is written, with which tag, and
// whether the dump of what moved follows it; the record, formatted only
// when its line is written, composed in full and appended once; restore
// (LeaveCall). The record's steps are a function of their own, never
// inlined, so that a hook sets up no more than a small frame around its
// guard and a thread without a context pays for the capture alone.
#define NQ_TRACE_STEPS(failed, moved, ...)                                   \
  do {                                                                       \
    if (!::nq::EnterCall(failed)) break;                                     \
    [&]() __attribute__((noinline)) {                                        \
      ::nq::TraceContext *nq_ctx = ::nq::CallContext();                      \
      const ::nq::Moved &nq_moved = (moved);                                 \
      ::nq::Admission nq_a =                                                 \
          ::nq::AdmitRecord(nq_ctx, TRACE_KIND_CALL, ::nq::LastError());     \
      ::nq::DumpPiece nq_piece = {nq_moved.buf, ::nq::MovedCount(nq_moved)}; \
      ::nq::DumpOf nq_moved_dump = {&nq_piece, 1, nq_piece.size};            \
      const ::nq::DumpOf *nq_dump =                                          \
          ::nq::MovedPieces(nq_moved) != 0 ? &nq_moved_dump : nullptr;       \
      NQ_CALL_RECORD(nq_ctx, nq_a, nq_dump, __VA_ARGS__);                    \
    }                                                                        \
    ();                                                                      \
    ::nq::LeaveCall();                                                       \
  } while (0)

// NQ_TRACE_CALL: the steps after the hook's guard, which must stay ahead
// of everything, also of the arguments' spills. Where arguments come on
// the stack (i686 stdcall) they have their homes already, and the steps
// stay in line: a call would copy each. Where they come in registers, the
// steps' lambda, which takes them by reference, would have them spilled
// before the guard; there the steps go into a cold function that takes
// copies, set up only after the guard.
#if defined(__i386__)
#define NQ_TRACE_CALL(failed, moved, ...) \
  NQ_TRACE_STEPS(failed, moved, __VA_ARGS__)
#else
#define NQ_TRACE_CALL(failed, moved, ...)       \
  [=]() __attribute__((noinline, cold)) {       \
    NQ_TRACE_STEPS(failed, moved, __VA_ARGS__); \
  }                                             \
  ()
#endif

#endif
