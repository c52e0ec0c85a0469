// An IPv6 address as text: a file of its own, which the Windows launcher's
// entries and the drop-in WSOCK32.DLL build in with the address texts of
// their socket labels, without the rest of the formatters.
#include "hooks/formatters.h"
#include "output/format.h"

namespace nq {

// The eight groups in RFC 5952 form: lower-case hex without leading
// zeros, the longest run of two or more zero groups (the first of equal
// ones) as "::", and an IPv4-mapped address with its dotted tail.
char *PutIn6Text(char *p, const unsigned char b[16]) {
  unsigned g[8];
  for (int i = 0; i < 8; ++i) g[i] = b[2 * i] << 8 | b[2 * i + 1];
  int best = -1, best_len = 1;
  for (int i = 0; i < 8;) {
    int j = i;
    while (j < 8 && g[j] == 0) ++j;
    if (j - i > best_len) best = i, best_len = j - i;
    i = j == i ? i + 1 : j;
  }
  bool mapped = best == 0 && best_len == 5 && g[5] == 0xFFFF;
  int groups = mapped ? 6 : 8;
  for (int i = 0; i < groups; ++i) {
    if (i == best) {
      p += Format(p, 3, "::");
      i += best_len - 1;
      continue;
    }
    if (i != 0 && i != best + best_len) *p++ = ':';
    p += Format(p, 6, "%x", g[i]);
  }
  if (mapped) p += Format(p, 17, ":%u.%u.%u.%u", b[12], b[13], b[14], b[15]);
  return p;
}

}  // namespace nq
