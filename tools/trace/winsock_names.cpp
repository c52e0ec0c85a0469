#include "winsock_names.h"

#include <algorithm>
#include <iterator>

#include "netquill_calls.h"

namespace nqtrace {
namespace {

struct ErrorName {
  std::uint32_t code;
  const char *name;
};

// Sorted by code for the binary search below.
constexpr ErrorName kErrors[] = {
    {10004, "WSAEINTR"},           {10009, "WSAEBADF"},
    {10013, "WSAEACCES"},          {10014, "WSAEFAULT"},
    {10022, "WSAEINVAL"},          {10024, "WSAEMFILE"},
    {10035, "WSAEWOULDBLOCK"},     {10036, "WSAEINPROGRESS"},
    {10037, "WSAEALREADY"},        {10038, "WSAENOTSOCK"},
    {10039, "WSAEDESTADDRREQ"},    {10040, "WSAEMSGSIZE"},
    {10041, "WSAEPROTOTYPE"},      {10042, "WSAENOPROTOOPT"},
    {10043, "WSAEPROTONOSUPPORT"}, {10044, "WSAESOCKTNOSUPPORT"},
    {10045, "WSAEOPNOTSUPP"},      {10046, "WSAEPFNOSUPPORT"},
    {10047, "WSAEAFNOSUPPORT"},    {10048, "WSAEADDRINUSE"},
    {10049, "WSAEADDRNOTAVAIL"},   {10050, "WSAENETDOWN"},
    {10051, "WSAENETUNREACH"},     {10052, "WSAENETRESET"},
    {10053, "WSAECONNABORTED"},    {10054, "WSAECONNRESET"},
    {10055, "WSAENOBUFS"},         {10056, "WSAEISCONN"},
    {10057, "WSAENOTCONN"},        {10058, "WSAESHUTDOWN"},
    {10059, "WSAETOOMANYREFS"},    {10060, "WSAETIMEDOUT"},
    {10061, "WSAECONNREFUSED"},    {10062, "WSAELOOP"},
    {10063, "WSAENAMETOOLONG"},    {10064, "WSAEHOSTDOWN"},
    {10065, "WSAEHOSTUNREACH"},    {10066, "WSAENOTEMPTY"},
    {10067, "WSAEPROCLIM"},        {10068, "WSAEUSERS"},
    {10069, "WSAEDQUOT"},          {10070, "WSAESTALE"},
    {10071, "WSAEREMOTE"},         {10091, "WSASYSNOTREADY"},
    {10092, "WSAVERNOTSUPPORTED"}, {10093, "WSANOTINITIALISED"},
    {10101, "WSAEDISCON"},         {11001, "WSAHOST_NOT_FOUND"},
    {11002, "WSATRY_AGAIN"},       {11003, "WSANO_RECOVERY"},
    {11004, "WSANO_DATA"},
};

// The Linux errno values a socket program meets, sorted by code.
constexpr ErrorName kPosixErrors[] = {
    {1, "EPERM"},
    {2, "ENOENT"},
    {4, "EINTR"},
    {5, "EIO"},
    {9, "EBADF"},
    {11, "EAGAIN"},
    {12, "ENOMEM"},
    {13, "EACCES"},
    {14, "EFAULT"},
    {16, "EBUSY"},
    {17, "EEXIST"},
    {20, "ENOTDIR"},
    {22, "EINVAL"},
    {23, "ENFILE"},
    {24, "EMFILE"},
    {28, "ENOSPC"},
    {32, "EPIPE"},
    {36, "ENAMETOOLONG"},
    {38, "ENOSYS"},
    {40, "ELOOP"},
    {61, "ENODATA"},
    {71, "EPROTO"},
    {75, "EOVERFLOW"},
    {88, "ENOTSOCK"},
    {89, "EDESTADDRREQ"},
    {90, "EMSGSIZE"},
    {91, "EPROTOTYPE"},
    {92, "ENOPROTOOPT"},
    {93, "EPROTONOSUPPORT"},
    {94, "ESOCKTNOSUPPORT"},
    {95, "EOPNOTSUPP"},
    {96, "EPFNOSUPPORT"},
    {97, "EAFNOSUPPORT"},
    {98, "EADDRINUSE"},
    {99, "EADDRNOTAVAIL"},
    {100, "ENETDOWN"},
    {101, "ENETUNREACH"},
    {102, "ENETRESET"},
    {103, "ECONNABORTED"},
    {104, "ECONNRESET"},
    {105, "ENOBUFS"},
    {106, "EISCONN"},
    {107, "ENOTCONN"},
    {108, "ESHUTDOWN"},
    {109, "ETOOMANYREFS"},
    {110, "ETIMEDOUT"},
    {111, "ECONNREFUSED"},
    {112, "EHOSTDOWN"},
    {113, "EHOSTUNREACH"},
    {114, "EALREADY"},
    {115, "EINPROGRESS"},
    {116, "ESTALE"},
    {122, "EDQUOT"},
    {125, "ECANCELED"},
};

// What a traced call's result counts: the list's data column, spelled as
// there; "completed" is a completion line, whose data goes the way of the
// operation it names, and "plain_*" a TLS call's plaintext.
enum class Data { sent, received, none, completed, plain_sent, plain_received };

struct TracedCall {
  std::string_view name;
  Data data;
  bool counts_result;  // its result is the bytes moved, not a status
};

// The calls of the export list, in the order of their ordinals, the calls
// that only the POSIX front end traces, then the entries of netquill-run.exe
// for Windows Sockets 2 (a name in an earlier list is found there first);
// few enough to search one by one. Only the Windows Sockets 2 entries
// return a status for data (WSARecv's 0, AcceptEx's TRUE).
#define NQ_TRACED_CALL(name, ordinal, bytes, ws2, data) \
  {#name, Data::data, true},
#define NQ_POSIX_CALL(name, data) {#name, Data::data, true},
#define NQ_WINSOCK2_CALL(name, bytes, lib, data, pends) \
  {#name, Data::data, false},
constexpr TracedCall kTraced[] = {NQ_TRACED_CALLS(NQ_TRACED_CALL)
                                      NQ_POSIX_CALLS(NQ_POSIX_CALL)
                                          NQ_WINSOCK2_CALLS(NQ_WINSOCK2_CALL)};
#undef NQ_TRACED_CALL
#undef NQ_POSIX_CALL
#undef NQ_WINSOCK2_CALL

const TracedCall *FindTraced(std::string_view name) {
  for (const TracedCall &call : kTraced)
    if (call.name == name) return &call;
  return nullptr;
}

template <std::size_t N>
constexpr bool ErrorsSorted(const ErrorName (&table)[N]) {
  for (std::size_t i = 1; i < N; ++i)
    if (!(table[i - 1].code < table[i].code)) return false;
  return true;
}

template <std::size_t N>
const char *Lookup(const ErrorName (&table)[N], std::uint32_t code) {
  auto it = std::lower_bound(
      std::begin(table), std::end(table), code,
      [](const ErrorName &e, std::uint32_t c) { return e.code < c; });
  return (it != std::end(table) && it->code == code) ? it->name : nullptr;
}

// The lookups below rely on the order; a misplaced entry fails the build.
static_assert(ErrorsSorted(kErrors), "kErrors must be sorted by code");
static_assert(ErrorsSorted(kPosixErrors), "kPosixErrors must be sorted");

}  // namespace

const char *WsaErrorName(std::uint32_t code) { return Lookup(kErrors, code); }

const char *ErrorName(std::uint32_t code) {
  // The resolver's codes as the GNU C library numbers them, -1 to -12.
  static constexpr const char *kResolverCodes[] = {
      "EAI_BADFLAGS",   "EAI_NONAME", "EAI_AGAIN",    "EAI_FAIL",
      "EAI_NODATA",     "EAI_FAMILY", "EAI_SOCKTYPE", "EAI_SERVICE",
      "EAI_ADDRFAMILY", "EAI_MEMORY", "EAI_SYSTEM",   "EAI_OVERFLOW"};
  // The codes of overlapped calls, which no Linux errno reaches.
  static constexpr const char *kOverlappedCodes[] = {
      "WSA_OPERATION_ABORTED", "WSA_IO_INCOMPLETE", "WSA_IO_PENDING"};
  if (code >= 995 && code <= 997) return kOverlappedCodes[code - 995];
  std::uint32_t below_zero = 0u - code;
  if (below_zero >= 1 && below_zero <= std::size(kResolverCodes))
    return kResolverCodes[below_zero - 1];
  return code < 10000 ? Lookup(kPosixErrors, code) : Lookup(kErrors, code);
}

int DataDirection(std::string_view name) {
  const TracedCall *call = FindTraced(name);
  if (call == nullptr) return 0;
  return call->data == Data::sent ? 1 : call->data == Data::received ? -1 : 0;
}

bool IsCompletion(std::string_view name) {
  const TracedCall *call = FindTraced(name);
  return call != nullptr && call->data == Data::completed;
}

bool MovesByDump(std::string_view name) {
  const TracedCall *call = FindTraced(name);
  return call != nullptr && !call->counts_result &&
         (call->data == Data::sent || call->data == Data::received);
}

int PlaintextDirection(std::string_view name) {
  const TracedCall *call = FindTraced(name);
  if (call == nullptr) return 0;
  return call->data == Data::plain_sent       ? 1
         : call->data == Data::plain_received ? -1
                                              : 0;
}

bool IsTracedFunction(std::string_view name) {
  return FindTraced(name) != nullptr;
}

}  // namespace nqtrace
