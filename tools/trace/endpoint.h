// One end of a socket's conversation: an IPv4 or IPv6 address and a port.
#ifndef NQ_TOOLS_TRACE_ENDPOINT_H
#define NQ_TOOLS_TRACE_ENDPOINT_H

#include <cstdint>
#include <cstring>

namespace nqtrace {

struct Endpoint {
  bool v6 = false;
  std::uint32_t ip = 0;       // IPv4: a.b.c.d as a << 24 | b << 16 | c << 8 | d
  std::uint8_t ip6[16] = {};  // IPv6, in network order
  std::uint16_t port = 0;
};

inline bool operator==(const Endpoint &a, const Endpoint &b) {
  return a.v6 == b.v6 && a.port == b.port &&
         (a.v6 ? std::memcmp(a.ip6, b.ip6, 16) == 0 : a.ip == b.ip);
}

}  // namespace nqtrace

#endif  // NQ_TOOLS_TRACE_ENDPOINT_H
