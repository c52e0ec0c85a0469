// Which records are written: the dump flag, the filter flags, and the
// severity of a failed call's error code.
#ifndef NQ_CORE_ADMISSION_H
#define NQ_CORE_ADMISSION_H

// A header of the core floor: a file below it must not include it.
#if NQ_FLOOR < 2
#error "src/core/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stdint.h>

#include "core/context.h"
#include "netquill.h"
#include "platform/os.h"

namespace nq {

// A failed call whose code is one of these is traced as a warning: a call
// that would block (also by the system's own codes, kSystemWouldBlock and
// kSystemInProgress), or a name resolution that found nothing. The
// launcher's entries add an overlapped call under way (kSystemIoPending).
constexpr int32_t kWouldBlock = 10035;     // WSAEWOULDBLOCK
constexpr int32_t kLastHardError = 11000;  // codes above it: name resolution

struct Admission {
  bool write;    // the record goes into the trace
  bool warning;  // its tag is WRN, and the code follows its text
  bool failed;   // the call counts as failed from this record on
  bool dump;     // the thread's dumps are on: a call's data follows its line
  int32_t code;  // the caller's error code, printed after failed records
};

// The rule for a record of kind under flags, from a call that failed or
// not, with code as the caller's error code. Without the warnings flag a
// warning is no failure, so the error filter passes it only by its kind.
// pending: the code says the call is under way, a warning as well (a
// constant false for the hooks, which never see such a code).
inline Admission Admit(uint32_t flags, uint32_t kind, bool failed, int32_t code,
                       bool pending = false) {
  Admission a;
  a.warning =
      failed && (pending || code == kWouldBlock || code == kSystemWouldBlock ||
                 code == kSystemInProgress || code > kLastHardError);
  a.failed = failed && !(a.warning && !(flags & TRACE_FLAG_WARNINGS));
  a.dump = (flags & TRACE_FLAG_DUMP) != 0;
  a.code = code;
  bool dump_off = (kind & TRACE_KIND_DUMP) && !a.dump;
  bool filtered = (flags & (TRACE_FLAG_ERRORS | TRACE_FLAG_WARNINGS)) != 0;
  a.write = !dump_off && (!filtered || a.failed || (kind & flags) != 0);
  return a;
}

// The rule for a record of kind on the calling thread's context ctx, with
// the code its capture fetched: no context, or one without a path, writes
// nothing. A record let through takes its failure mark from the rule, for
// the rest of the call.
inline Admission AdmitRecord(TraceContext *ctx, uint32_t kind, int32_t code,
                             bool pending = false) {
  if (ctx == nullptr || ctx->path[0] == '\0') return Admission{};
  Admission a = Admit(ctx->flags, kind, ctx->failed != 0, code, pending);
  if (a.write) ctx->failed = a.failed ? 1 : 0;
  return a;
}

}  // namespace nq

#endif
