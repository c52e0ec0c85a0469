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

// In the order of their ordinals; few enough to search one by one.
#define NQ_TRACED_NAME(name, ...) #name,
constexpr std::string_view kTraced[] = {NQ_TRACED_CALLS(NQ_TRACED_NAME)};
#undef NQ_TRACED_NAME

constexpr bool ErrorsSorted() {
  for (std::size_t i = 1; i < std::size(kErrors); ++i)
    if (!(kErrors[i - 1].code < kErrors[i].code)) return false;
  return true;
}

// The lookup below relies on the order; a misplaced entry fails the build.
static_assert(ErrorsSorted(), "kErrors must be sorted by code");

}  // namespace

const char *WsaErrorName(std::uint32_t code) {
  auto it = std::lower_bound(
      std::begin(kErrors), std::end(kErrors), code,
      [](const ErrorName &e, std::uint32_t c) { return e.code < c; });
  return (it != std::end(kErrors) && it->code == code) ? it->name : nullptr;
}

bool IsTracedFunction(std::string_view name) {
  return std::find(std::begin(kTraced), std::end(kTraced), name) !=
         std::end(kTraced);
}

}  // namespace nqtrace
