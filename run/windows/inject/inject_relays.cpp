// The calls traced through netquill-run's own entries (NQW_name, built
// into this DLL): Windows Sockets 2, mswsock.dll's extensions and the KERNEL32
// calls that deliver completions. One function per call and place the
// program found it (a library's export or a WSAIoctl extension pointer),
// each making the call through the system's function from there and
// handing the result and the arguments to the entry. A completion routine
// the program passes is swapped for the launcher's, which reports the
// completion before it calls the program's.
#include <string.h>

#include <tuple>
#include <type_traits>

#include "entries/call_views_win32.h"
#include "entries/netquill_winsock2.h"
#include "inject_inline.h"
#include "inject_patch.h"
#include "inject_routines.h"

namespace nqinj {
namespace {

template <typename T>
T Routed(T value, Route) {
  return value;
}

LPWSAOVERLAPPED_COMPLETION_ROUTINE Routed(
    LPWSAOVERLAPPED_COMPLETION_ROUTINE routine, Route route) {
  return RoutineFor(route, routine);
}

// The calls that take a completion routine take it last, their OVERLAPPED
// just before it.
template <typename... A>
Route RouteOf(A... args) {
  constexpr size_t n = sizeof...(A);
  if constexpr (n >= 2) {
    using Last = std::tuple_element_t<n - 1, std::tuple<A...>>;
    if constexpr (std::is_same_v<Last, LPWSAOVERLAPPED_COMPLETION_ROUTINE>) {
      auto all = std::forward_as_tuple(args...);
      return RememberRoutine(std::get<n - 2>(all), std::get<n - 1>(all));
    }
  }
  return Route();
}

void HandOutExtension(int result, SOCKET, DWORD code, LPVOID in,
                      DWORD in_length, LPVOID out, DWORD out_length, LPDWORD,
                      LPWSAOVERLAPPED, LPWSAOVERLAPPED_COMPLETION_ROUTINE);

// The calls that may stay pending: the list's pends column.
inline constexpr bool kW2Issues[kW2Calls] = {
#define NQRUN_ISSUES(name, bytes, lib, data, pends) \
  sizeof(#pends) == sizeof("yes"),
    NQ_WINSOCK2_CALLS(NQRUN_ISSUES)
#undef NQRUN_ISSUES
};

inline LPOVERLAPPED OverlappedIn(LPOVERLAPPED ov) { return ov; }
template <typename T>
LPOVERLAPPED OverlappedIn(T) {
  return nullptr;
}

// The OVERLAPPED of a call that may stay pending, counted as being issued
// from before the system's function until its entry ran: a thread that
// learns of its completion meanwhile waits for the entry. Null for any
// other call.
template <int W, typename... A>
LPOVERLAPPED IssuedOverlapped(A... args) {
  LPOVERLAPPED ov = nullptr;
  if constexpr (kW2Issues[W]) ((ov = ov ? ov : OverlappedIn(args)), ...);
  return ov;
}

void Issuing(BOOL begins, LPOVERLAPPED ov) {
  reinterpret_cast<decltype(&::NQW_IssuingCall)>(
      g_state.w2hook[kW2_IssuingCall])(begins, ov);
}

// TransmitFile without an OVERLAPPED sends the file from its position,
// which the call moves: read before it, for the entry to read the bytes
// sent back from the file.
struct FileStart {
  LARGE_INTEGER at;
  bool known;
};

FileStart TransmitFileStart(SOCKET, HANDLE file, DWORD, DWORD, LPOVERLAPPED ov,
                            LPTRANSMIT_FILE_BUFFERS, DWORD) {
  FileStart start = {};
  LARGE_INTEGER zero = {};
  start.known = file != nullptr && ov == nullptr &&
                SetFilePointerEx(file, zero, &start.at, FILE_CURRENT);
  return start;
}

BOOL TransmitFileLine(BOOL result, const FileStart &start, SOCKET s,
                      HANDLE file, DWORD count, DWORD per_send, LPOVERLAPPED ov,
                      LPTRANSMIT_FILE_BUFFERS buffers, DWORD flags) {
  auto from = reinterpret_cast<decltype(&::NQW_TransmitFileFrom)>(
      g_state.w2hook[kW2_TransmitFileFrom]);
  if (from == nullptr)
    return reinterpret_cast<decltype(&::NQW_TransmitFile)>(
        g_state.w2hook[kW2_TransmitFile])(result, s, file, count, per_send, ov,
                                          buffers, flags);
  return from(result, s, file, count, per_send, ov, buffers, flags,
              start.known ? &start.at : nullptr);
}

template <int S, int W, typename Hook>
struct Relay;

template <int S, int W, typename R, typename... A>
struct Relay<S, W, R(NQ_CALL *)(R, A...)> {
  using Real = R(WINAPI *)(A...);
  using Hook = R(NQ_CALL *)(R, A...);

  static R WINAPI Call(A... args) {
    // Detached: the system's call alone, except that an extension's
    // function is still handed out as its relay, to be traced once
    // attached again.
    if (!EnterCall()) {
      R result = reinterpret_cast<Real>(g_state.w2real[S][W])(args...);
      if constexpr (W == kW2_WSAIoctl) {
        DWORD error = GetLastError();
        HandOutExtension(result, args...);
        SetLastError(error);
      }
      return result;
    }
    Route route = RouteOf(args...);
    LPOVERLAPPED issued = IssuedOverlapped<W>(args...);
    if (issued != nullptr) Issuing(TRUE, issued);
    [[maybe_unused]] FileStart start = {};
    if constexpr (W == kW2_TransmitFile) start = TransmitFileStart(args...);
    nq::CallClock clock = {};
    nq::StartCallClock(&clock);
    R result =
        reinterpret_cast<Real>(g_state.w2real[S][W])(Routed(args, route)...);
    nq::StopCallClock(&clock);
    DWORD error = GetLastError();
    if constexpr (std::is_same_v<R, int>) {
      if (result == SOCKET_ERROR && error != WSA_IO_PENDING)
        ForgetRoutine(route);
    }
    if (StillTracing() && g_state.w2hook[W] != nullptr) {
      nq::OfferCallClock(clock);
      if constexpr (W == kW2_TransmitFile)
        result = TransmitFileLine(result, start, args...);
      else
        result = reinterpret_cast<Hook>(g_state.w2hook[W])(result, args...);
      nq::DropCallClock();
    }
    if (issued != nullptr) Issuing(FALSE, issued);
    if constexpr (W == kW2_WSAIoctl) HandOutExtension(result, args...);
    SetLastError(error);
    return result;
  }
};

// GetAddrInfoExW's completion routine comes before its last argument and
// has a type of its own: its relay swaps it by hand.
template <>
struct Relay<kFromWs2, kW2_GetAddrInfoExW, decltype(&::NQW_GetAddrInfoExW)> {
  static INT WINAPI Call(PCWSTR node, PCWSTR service, DWORD name_space,
                         LPGUID nsp, const ADDRINFOEXW *hints,
                         PADDRINFOEXW *res, struct timeval *timeout,
                         LPOVERLAPPED ov,
                         LPLOOKUPSERVICE_COMPLETION_ROUTINE routine,
                         LPHANDLE handle) {
    using Real = decltype(&::GetAddrInfoExW);
    auto real =
        reinterpret_cast<Real>(g_state.w2real[kFromWs2][kW2_GetAddrInfoExW]);
    if (!EnterCall())
      return real(node, service, name_space, nsp, hints, res, timeout, ov,
                  routine, handle);
    LPWSAOVERLAPPED_COMPLETION_ROUTINE remembered;
    memcpy(&remembered, &routine, sizeof remembered);
    Route route =
        routine != nullptr ? RememberRoutine(ov, remembered) : Route();
    nq::CallClock clock = {};
    nq::StartCallClock(&clock);
    INT result = real(node, service, name_space, nsp, hints, res, timeout, ov,
                      LookupRoutineFor(route, routine), handle);
    nq::StopCallClock(&clock);
    DWORD error = GetLastError();
    if (result != WSA_IO_PENDING) ForgetRoutine(route);
    if (StillTracing()) {
      nq::OfferCallClock(clock);
      result = reinterpret_cast<decltype(&::NQW_GetAddrInfoExW)>(
          g_state.w2hook[kW2_GetAddrInfoExW])(result, node, service, name_space,
                                              nsp, hints, res, timeout, ov,
                                              routine, handle);
      nq::DropCallClock();
    }
    if (result == WSA_IO_PENDING) LookupIssued(route);
    SetLastError(error);
    return result;
  }
};

// Where a patched entry point of ws2_32.dll jumps: the program's calls go
// to the relay, the system's own to the function, untraced as before.
template <int W, typename Hook>
struct InlineRelay;

template <int W, typename R, typename... A>
struct InlineRelay<W, R(NQ_CALL *)(R, A...)> {
  static R WINAPI Call(A... args) {
    if (CalledFromSystem(__builtin_return_address(0)))
      return reinterpret_cast<R(WINAPI *)(A...)>(g_state.w2real[kFromWs2][W])(
          args...);
    // Through its address: the relay's body is not built in twice.
    return reinterpret_cast<R(WINAPI *)(A...)>(RelayOf(kFromWs2, W))(args...);
  }
};

template <int W, typename Hook>
void *InlineRelayFor() {
  if constexpr (kW2LibOf[W] == kLib_ws2)
    return Address(&InlineRelay<W, Hook>::Call);
  return nullptr;
}

// The places a program finds a call of each lib column.
template <int W, typename Hook>
void *RelayFrom(Source source) {
  constexpr W2Lib lib = kW2LibOf[W];
  if constexpr (lib == kLib_ws2) {
    if (source == kFromWs2) return Address(&Relay<kFromWs2, W, Hook>::Call);
  } else if constexpr (lib == kLib_kernel) {
    if (source == kFromKernel)
      return Address(&Relay<kFromKernel, W, Hook>::Call);
  } else if constexpr (lib == kLib_mswsock || lib == kLib_extension) {
    if (source == kFromExtension)
      return Address(&Relay<kFromExtension, W, Hook>::Call);
    if constexpr (lib == kLib_mswsock) {
      if (source == kFromMswsock)
        return Address(&Relay<kFromMswsock, W, Hook>::Call);
      if (source == kFromWs1) return Address(&Relay<kFromWs1, W, Hook>::Call);
    }
  }
  return nullptr;
}

// The entry of the extension function name when a program finds it only
// through WSAIoctl or also in mswsock.dll; -1 for the others, which are
// handed out as they are: GetAcceptExSockaddrs only reads a buffer, and
// ws2_32.dll's own functions are relayed where it exports them.
constexpr int ExtensionCall(const char *name) {
  for (int call = 0; call < kW2Calls; ++call) {
    const char *listed = kW2Names[call];
    int i = 0;
    while (listed[i] != '\0' && listed[i] == name[i]) ++i;
    if (listed[i] == name[i])
      return kW2LibOf[call] == kLib_mswsock || kW2LibOf[call] == kLib_extension
                 ? call
                 : -1;
  }
  return -1;
}

// The extension functions handed out traced, by the GUID that names them.
struct Extension {
  GUID id;
  int call;
};

constexpr Extension kExtensions[] = {
#define NQRUN_EXTENSION(name, wsaid) {wsaid, ExtensionCall(#name)},
    NQ_EXTENSION_IDS(NQRUN_EXTENSION)
#undef NQRUN_EXTENSION
};

// One system function per GUID stands behind its relay: the first one
// handed out. Another provider's function for the same GUID (a layered
// provider on some sockets) is handed out as it is, untraced, rather than
// reached through the first one's relay.
void HandOutExtension(int result, SOCKET, DWORD code, LPVOID in,
                      DWORD in_length, LPVOID out, DWORD out_length, LPDWORD,
                      LPWSAOVERLAPPED, LPWSAOVERLAPPED_COMPLETION_ROUTINE) {
  if (result != 0 || code != SIO_GET_EXTENSION_FUNCTION_POINTER ||
      in == nullptr || in_length < sizeof(GUID) || out == nullptr ||
      out_length < sizeof(void *))
    return;
  for (const Extension &e : kExtensions) {
    if (e.call < 0 || memcmp(in, &e.id, sizeof e.id) != 0) continue;
    void *relay = RelayOf(kFromExtension, e.call);
    void *real;
    memcpy(&real, out, sizeof real);
    if (relay == nullptr || real == nullptr) return;
    void *volatile *slot = &g_state.w2real[kFromExtension][e.call];
    void *first = InterlockedCompareExchangePointer(slot, real, nullptr);
    if (first == nullptr || first == real) memcpy(out, &relay, sizeof relay);
    return;
  }
}

}  // namespace

// The list drives which entry each relay reaches. A switch rather than a
// table of addresses: this DLL runs no static constructors to fill one.
void *EntryOf(int call) {
  switch (call) {
#define NQRUN_CASE(name, ...) \
  case kW2_##name:            \
    return Address(&::NQW_##name);
    NQ_WINSOCK2_CALLS(NQRUN_CASE)
#undef NQRUN_CASE
    default:
      return nullptr;
  }
}

bool HoldTraceFile(const char *path) { return NQW_HoldTraceFile(path) != 0; }

void *InlineRelayOf(int call) {
  if (call < 0 || call >= kW2Calls || g_state.w2hook[call] == nullptr)
    return nullptr;
  switch (call) {
#define NQRUN_CASE(name, ...) \
  case kW2_##name:            \
    return InlineRelayFor<kW2_##name, decltype(&::NQW_##name)>();
    NQ_WINSOCK2_CALLS(NQRUN_CASE)
#undef NQRUN_CASE
    default:
      return nullptr;
  }
}

void *RelayOf(Source source, int call) {
  // WSAIoctl is relayed whether or not it is traced itself: it hands out
  // the extensions' relays, which -e may trace without it.
  if (call < 0 || (g_state.w2hook[call] == nullptr && call != kW2_WSAIoctl))
    return nullptr;
  // An extension's function is known only once WSAIoctl hands it out.
  if (source != kFromExtension && g_state.w2real[source][call] == nullptr)
    return nullptr;
  switch (call) {
#define NQRUN_CASE(name, ...) \
  case kW2_##name:            \
    return RelayFrom<kW2_##name, decltype(&::NQW_##name)>(source);
    NQ_WINSOCK2_CALLS(NQRUN_CASE)
#undef NQRUN_CASE
    default:
      return nullptr;
  }
}

}  // namespace nqinj
