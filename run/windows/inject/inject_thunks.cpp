// The traced calls: one function per call and socket library, each making
// the call through the library the program imported it from and handing
// the result and the arguments to NETQUILL's hook. The program gets the
// result and the last error (also its WSAGetLastError) the system left.
#include <string.h>

#include "entries/call_views_win32.h"
#include "inject_patch.h"

namespace nqinj {
namespace {

template <int L, int C, typename Fn>
struct Thunk;

template <int L, int C, typename R, typename... A>
struct Thunk<L, C, R(WSAAPI *)(A...)> {
  using Real = R(WSAAPI *)(A...);
  using Hook = R(WSAAPI *)(R, A...);

  static R WSAAPI Call(A... args) {
    bool traced = EnterCall();
    nq::CallClock clock = {};
    if (traced) nq::StartCallClock(&clock);
    R result = reinterpret_cast<Real>(g_state.real[L][C])(args...);
    nq::StopCallClock(&clock);
    void *hook = g_state.hook[C];
    if (!traced || hook == nullptr || !StillTracing()) return result;
    // The hook hands the socket error code back; the last error is the
    // same value on Windows, kept here all the same.
    DWORD error = GetLastError();
    nq::OfferCallClock(clock);
    result = reinterpret_cast<Hook>(hook)(result, args...);
    nq::DropCallClock();
    SetLastError(error);
    return result;
  }
};

const char *const kNames[kCalls] = {
#define NQRUN_NAME(name, ...) #name,
    NQ_TRACED_CALLS(NQRUN_NAME)
#undef NQRUN_NAME
};

const unsigned short kOrdinals[kLibs][kCalls] = {
    {
#define NQRUN_ORDINAL(name, ordinal, bytes, ws2, data) ws2,
        NQ_TRACED_CALLS(NQRUN_ORDINAL)
#undef NQRUN_ORDINAL
    },
    {
#define NQRUN_ORDINAL(name, ordinal, ...) ordinal,
        NQ_TRACED_CALLS(NQRUN_ORDINAL)
#undef NQRUN_ORDINAL
    },
};

}  // namespace

int FindCall(int lib, const char *name) {
  uintptr_t value = reinterpret_cast<uintptr_t>(name);
  for (int c = 0; c < kCalls; ++c) {
    if (value <= 0xFFFF ? value == kOrdinals[lib][c]
                        : strcmp(name, kNames[c]) == 0)
      return c;
  }
  return -1;
}

void *ThunkOf(int lib, int call) {
  switch (call) {
#define NQRUN_CASE(name, ...)                                                 \
  case kCall_##name:                                                          \
    return lib == kWs2                                                        \
               ? Address(&Thunk<kWs2, kCall_##name, decltype(&::name)>::Call) \
               : Address(&Thunk<kWs1, kCall_##name, decltype(&::name)>::Call);
    NQ_TRACED_CALLS(NQRUN_CASE)
#undef NQRUN_CASE
    default:
      return nullptr;
  }
}

}  // namespace nqinj
