// Socket addresses of every family in the POSIX builds. IPv4 keeps the
// text it has everywhere; IPv6 is written as RFC 5952 has it, in brackets
// before the port, AF_UNIX as its path in double quotes, escaped as caller
// text, and any other family by its number.
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "hooks/formatters.h"
#include "output/format.h"

namespace nq {

static_assert(kAddressFamilies, "the build reads every address as IPv4");

namespace {

bool FormatIn6(char *buf, size_t size, const struct sockaddr *addr,
               int length) {
  struct sockaddr_in6 in6;
  if (length < static_cast<int>(sizeof in6)) {
    Format(buf, size, "<%d bytes>", length);
    return true;
  }
  memcpy(&in6, addr, sizeof in6);
  char *p = buf;
  *p++ = '[';
  p = PutIn6Text(p, in6.sin6_addr.s6_addr);
  if (in6.sin6_scope_id != 0) p += Format(p, 12, "%%%u", in6.sin6_scope_id);
  Format(p, 8, "]:%u", ntohs(in6.sin6_port));
  return true;
}

bool FormatUnix(char *buf, size_t size, const struct sockaddr *addr,
                int length) {
  const size_t path_at = offsetof(struct sockaddr_un, sun_path);
  size_t n = static_cast<size_t>(length) - path_at;
  if (n > sizeof(sockaddr_un::sun_path)) n = sizeof(sockaddr_un::sun_path);
  const char *path = reinterpret_cast<const char *>(addr) + path_at;
  char *p = buf;
  *p++ = '"';
  if (n > 0 && path[0] == '\0') {
    *p++ = '@';  // Linux's abstract names: every byte after the first
    ++path;
    --n;
  } else {
    n = strnlen(path, n);
  }
  // Room for the closing quote and the terminator after the path.
  p += PutEscapedBytes(p, size - 1 - static_cast<size_t>(p - buf), path, n);
  *p++ = '"';
  *p = '\0';
  return true;
}

}  // namespace

bool FormatFamilyAddress(char *buf, size_t size, const struct sockaddr *addr,
                         int length) {
  sa_family_t family;
  memcpy(&family, addr, sizeof family);
  switch (family) {
    case AF_UNSPEC:  // a structure left zeroed: read as it always was
    case AF_INET:
      return false;
    case AF_INET6:
      return FormatIn6(buf, size, addr, length);
    case AF_UNIX:
      return FormatUnix(buf, size, addr, length);
    default:
      Format(buf, size, "<family %u>", static_cast<unsigned>(family));
      return true;
  }
}

}  // namespace nq
