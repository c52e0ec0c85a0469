#include "endpoint_text.h"

#include <cstdio>

namespace nqtimeline {
namespace {

// RFC 5952: lower-case hex groups without leading zeros, the longest run
// of two or more zero groups (the first of equals) as "::", and an IPv4
// address mapped into IPv6 with its dotted quad.
std::string Ipv6Text(const std::uint8_t (&b)[16]) {
  unsigned groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = b[2 * i] << 8 | b[2 * i + 1];
  char text[64];
  const bool mapped = groups[0] == 0 && groups[1] == 0 && groups[2] == 0 &&
                      groups[3] == 0 && groups[4] == 0 && groups[5] == 0xFFFF;
  if (mapped) {
    std::snprintf(text, sizeof text, "::ffff:%u.%u.%u.%u", b[12], b[13], b[14],
                  b[15]);
    return text;
  }
  int best = -1, best_len = 1;
  for (int i = 0; i < 8;) {
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > best_len) {
      best = i;
      best_len = j - i;
    }
    i = j == i ? i + 1 : j;
  }
  std::string out;
  for (int i = 0; i < 8; ++i) {
    if (i == best) {
      out += "::";
      i += best_len - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    std::snprintf(text, sizeof text, "%x", groups[i]);
    out += text;
  }
  return out;
}

}  // namespace

std::string EndpointText(const nqtrace::Endpoint &e) {
  char text[32];
  if (e.v6) {
    std::snprintf(text, sizeof text, "]:%u", static_cast<unsigned>(e.port));
    return "[" + Ipv6Text(e.ip6) + text;
  }
  std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", e.ip >> 24,
                e.ip >> 16 & 0xFF, e.ip >> 8 & 0xFF, e.ip & 0xFF,
                static_cast<unsigned>(e.port));
  return text;
}

}  // namespace nqtimeline
