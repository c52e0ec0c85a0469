// netquill-run.exe's entries for the calls through which a program learns
// that an overlapped call completed, and for its name lookups. A completion
// is written once, by the first of them that reports it, with the bytes
// read from the buffers the call was given.
#include "entries/netquill_winsock2.h"
#include "entries/winsock2_record.h"
#include "entries/winsock2_text.h"
#include "hooks/hook_common.h"

using namespace nq;

namespace {

// What GetQueuedCompletionStatusEx's entries carry: the status of the
// kernel, which the socket library turns into these codes for the program.
int32_t SocketCodeOf(ULONG_PTR status) {
  switch (static_cast<uint32_t>(status)) {
    case 0xC0000120:
      return 995;  // cancelled: WSA_OPERATION_ABORTED
    case 0xC000020D:
      return 10054;  // connection reset
    case 0xC000013C:
      return 10054;  // remote disconnect
    case 0xC0000241:
      return 10053;  // connection aborted
    case 0xC000013B:
      return 10053;  // local disconnect
    case 0xC0000236:
      return 10061;  // connection refused
    case 0xC00000B5:
      return 10060;  // timed out
    case 0xC000023C:
      return 10051;  // network unreachable
    case 0xC000023D:
      return 10065;  // host unreachable
    case 0x80000005:
      return 10040;  // buffer overflow: message too long
    case 0xC0000023:
      return 10040;  // buffer too small
    default:
      return static_cast<int32_t>(status);
  }
}

const int32_t kStillUnderWay[] = {996, 258, 192};  // incomplete, timeout, APC

}  // namespace

BOOL NQ_CALL NQW_GetQueuedCompletionStatus(BOOL result, HANDLE port,
                                           LPDWORD transferred, PULONG_PTR key,
                                           LPOVERLAPPED *ov,
                                           DWORD milliseconds) {
  (void)port, (void)key, (void)milliseconds;
  if (NobodyTraces() || ov == nullptr || *ov == nullptr) return result;
  // With an OVERLAPPED given back, a failure is the operation's.
  CompletionOfCall("GetQueuedCompletionStatus", *ov, result != FALSE,
                   transferred != nullptr ? *transferred : 0, nullptr, 0);
  return result;
}

BOOL NQ_CALL NQW_GetQueuedCompletionStatusEx(BOOL result, HANDLE port,
                                             LPOVERLAPPED_ENTRY entries,
                                             ULONG count, PULONG removed,
                                             DWORD milliseconds,
                                             BOOL alertable) {
  (void)port, (void)milliseconds, (void)alertable;
  if (NobodyTraces() || !result || entries == nullptr || removed == nullptr)
    return result;
  ULONG n = *removed < count ? *removed : count;
  for (ULONG i = 0; i < n; ++i) {
    const OVERLAPPED *ov = entries[i].lpOverlapped;
    if (ov == nullptr) continue;
    ULONG_PTR status = ov->Internal;
    bool failed = static_cast<int32_t>(status) < 0;
    CompletionLine("GetQueuedCompletionStatusEx", ov, failed,
                   entries[i].dwNumberOfBytesTransferred,
                   failed ? SocketCodeOf(status) : 0);
  }
  return result;
}

BOOL NQ_CALL NQW_WSAGetOverlappedResult(BOOL result, SOCKET s,
                                        LPWSAOVERLAPPED ov, LPDWORD transferred,
                                        BOOL wait, LPDWORD flags) {
  (void)s, (void)wait, (void)flags;
  if (NobodyTraces()) return result;
  CompletionOfCall("WSAGetOverlappedResult", ov, result != FALSE,
                   result && transferred != nullptr ? *transferred : 0,
                   kStillUnderWay, 1);
  return result;
}

// The two GetOverlappedResult calls, which say a call is still under way
// as an incomplete, a timed out or an interrupted wait.
static BOOL OverlappedResult(const char *call, BOOL result, LPOVERLAPPED ov,
                             LPDWORD transferred) {
  CompletionOfCall(call, ov, result != FALSE,
                   result && transferred != nullptr ? *transferred : 0,
                   kStillUnderWay, 3);
  return result;
}

BOOL NQ_CALL NQW_GetOverlappedResult(BOOL result, HANDLE handle,
                                     LPOVERLAPPED ov, LPDWORD transferred,
                                     BOOL wait) {
  (void)handle, (void)wait;
  if (NobodyTraces()) return result;
  return OverlappedResult("GetOverlappedResult", result, ov, transferred);
}

BOOL NQ_CALL NQW_GetOverlappedResultEx(BOOL result, HANDLE handle,
                                       LPOVERLAPPED ov, LPDWORD transferred,
                                       DWORD milliseconds, BOOL alertable) {
  (void)handle, (void)milliseconds, (void)alertable;
  if (NobodyTraces()) return result;
  return OverlappedResult("GetOverlappedResultEx", result, ov, transferred);
}

void NQ_CALL NQW_CompletionRoutine(DWORD error, DWORD transferred,
                                   LPWSAOVERLAPPED ov, DWORD flags) {
  (void)flags;
  if (NobodyTraces()) return;
  CompletionLine("CompletionRoutine", ov, error != 0, transferred,
                 static_cast<int32_t>(error));
}

void NQ_CALL NQW_IoCompletionCallback(PTP_CALLBACK_INSTANCE instance,
                                      PVOID context, PVOID ov, ULONG result,
                                      ULONG_PTR transferred, PTP_IO io) {
  (void)instance, (void)context, (void)io;
  if (NobodyTraces()) return;
  CompletionLine("IoCompletionCallback", ov, result != 0,
                 static_cast<long long>(transferred),
                 static_cast<int32_t>(result));
}

void NQ_CALL NQW_IssuingCall(BOOL begins, LPOVERLAPPED ov) {
  PendingIssuing(begins != FALSE, ov);
}

// Name lookups: what was asked, and every address that came back.
//   getaddrinfo("localhost", "80") returned 0 (127.0.0.1:80, [::1]:80)

namespace {

constexpr size_t kNameText = 1040;  // a name of 256 characters, escaped

// MinGW's ADDRINFOEXW links its entries through a pointer to a struct of
// another spelling: read as the entry's own type.
template <typename Info>
char *AddressList(char *p, char *end, int result, const Info *list) {
  bool any = false;
  for (const Info *ai = result == 0 ? list : nullptr; ai != nullptr && p < end;
       ai = reinterpret_cast<const Info *>(ai->ai_next)) {
    char a[kAddressText];
    p += Format(p, static_cast<size_t>(end - p), "%s%s", any ? ", " : " (",
                AddressText(a, ai->ai_addr, static_cast<int>(ai->ai_addrlen)));
    any = true;
  }
  if (any) {
    *p++ = ')';
    *p = '\0';
  }
  return p;
}

// A name of the caller's, narrow or wide, quoted into buf.
void Quoted(char *buf, size_t size, const char *text) {
  PutQuotedNarrow(buf, size, text);
}
void Quoted(char *buf, size_t size, const wchar_t *text) {
  PutQuotedWide(buf, size, text);
}

// An overlapped lookup (ov given) names its OVERLAPPED after the service
// and is remembered while it goes on, with where its list will go.
template <typename Char, typename Info>
INT AddressLookup(const char *call, INT result, const Char *node,
                  const Char *service, Info *const *res,
                  const void *ov = nullptr) {
  char asked[2][kNameText], text[kTraceFormatSize], at[24] = "";
  Quoted(asked[0], sizeof asked[0], node);
  Quoted(asked[1], sizeof asked[1], service);
  if (ov != nullptr) Format(at, sizeof at, ", 0x%zx", Ptr(ov));
  char *end = text + sizeof text - 2;
  char *p = text + Format(text, sizeof text - 2, "%s(%s, %s%s) %s", call,
                          asked[0], asked[1], at, FormatIntResult(result));
  AddressList(p, end, result, res != nullptr ? *res : nullptr);
  if (ov == nullptr) {
    PlainLine(result != 0, text);
    return result;
  }
  PendingOp op;
  PendingStart(&op, ov, ~uintptr_t{0}, kPendingGetAddrInfoExW);
  op.buffer = const_cast<Info **>(res);
  static const uint32_t kNone = 0;
  Transfer t = {kPendingGetAddrInfoExW,
                ~uintptr_t{0},
                ov,
                BufferList{},
                nullptr,
                0,
                result == 0 ? &kNone : nullptr};
  TransferLine(result != 0, t, text, &op);
  return result;
}

//   getnameinfo(127.0.0.1:80, 16, 0) returned 0 ("localhost", "http")
template <typename Char>
INT NameLookup(const char *call, INT result, const SOCKADDR *sa,
               socklen_t salen, const Char *host, const Char *serv, INT flags) {
  char a[kAddressText], names[2][kNameText], text[kTraceFormatSize];
  names[0][0] = names[1][0] = '\0';
  if (result == 0) {
    Quoted(names[0], sizeof names[0], host);
    Quoted(names[1], sizeof names[1], serv);
  }
  // An address the call could not read is not read either.
  bool refused = result != 0 && CallerCode() == 10014;
  Format(text, sizeof text, "%s(%s, %d, %d) %s%s%s%s%s%s", call,
         AddressText(a, sa, refused ? 0 : salen), salen, flags,
         FormatIntResult(result), result == 0 ? " (" : "", names[0],
         result == 0 ? ", " : "", names[1], result == 0 ? ")" : "");
  PlainLine(result != 0, text);
  return result;
}

}  // namespace

INT NQ_CALL NQW_getaddrinfo(INT result, PCSTR node, PCSTR service,
                            const ADDRINFOA *hints, PADDRINFOA *res) {
  (void)hints;
  if (NobodyTraces()) return result;
  return AddressLookup("getaddrinfo", result, node, service, res);
}

INT NQ_CALL NQW_GetAddrInfoW(INT result, PCWSTR node, PCWSTR service,
                             const ADDRINFOW *hints, PADDRINFOW *res) {
  (void)hints;
  if (NobodyTraces()) return result;
  return AddressLookup("GetAddrInfoW", result, node, service, res);
}

INT NQ_CALL NQW_GetAddrInfoExW(INT result, PCWSTR node, PCWSTR service,
                               DWORD name_space, LPGUID nsp,
                               const ADDRINFOEXW *hints, PADDRINFOEXW *res,
                               struct timeval *timeout, LPOVERLAPPED ov,
                               LPLOOKUPSERVICE_COMPLETION_ROUTINE routine,
                               LPHANDLE handle) {
  (void)name_space, (void)nsp, (void)hints, (void)timeout, (void)routine,
      (void)handle;
  if (NobodyTraces()) return result;
  return AddressLookup("GetAddrInfoExW", result, node, service, res, ov);
}

// 10036 (WSAEINPROGRESS): the lookup goes on.
INT NQ_CALL NQW_GetAddrInfoExOverlappedResult(INT result, LPOVERLAPPED ov) {
  if (NobodyTraces() || result == 10036) return result;
  CompletionLine("GetAddrInfoExOverlappedResult", ov, result != 0, 0, result);
  return result;
}

char *nq::AppendLookupAddresses(char *p, char *end, const void *result) {
  return AddressList(p, end, 0, *static_cast<ADDRINFOEXW *const *>(result));
}

INT NQ_CALL NQW_getnameinfo(INT result, const SOCKADDR *sa, socklen_t salen,
                            PCHAR host, DWORD host_size, PCHAR serv,
                            DWORD serv_size, INT flags) {
  (void)host_size, (void)serv_size;
  if (NobodyTraces()) return result;
  return NameLookup("getnameinfo", result, sa, salen, host, serv, flags);
}

INT NQ_CALL NQW_GetNameInfoW(INT result, const SOCKADDR *sa, socklen_t salen,
                             PWCHAR host, DWORD host_size, PWCHAR serv,
                             DWORD serv_size, INT flags) {
  (void)host_size, (void)serv_size;
  if (NobodyTraces()) return result;
  return NameLookup("GetNameInfoW", result, sa, salen, host, serv, flags);
}
