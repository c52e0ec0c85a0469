// A socket address as text, by its family. The families are the Windows
// ones, written out here, as the hooks read them.
#include "address_text_win32.h"

#include <stdint.h>
#include <string.h>

#include "hooks/formatters.h"
#include "output/format.h"

namespace nq {
namespace {

constexpr uint16_t kFamilyUnix = 1;
constexpr uint16_t kFamilyInet = 2;
constexpr uint16_t kFamilyInet6 = 23;
constexpr int kInetBytes = 8;    // family, port, address
constexpr int kInet6Bytes = 24;  // family, port, flow, address
constexpr int kInet6ScopeBytes = 28;
constexpr size_t kUnixPathBytes = 108;

uint16_t Port(const unsigned char *raw) {
  return static_cast<uint16_t>(raw[2] << 8 | raw[3]);
}

}  // namespace

const char *AddressText(char *buf, const void *addr, int length) {
  if (addr == nullptr) {
    strcpy(buf, "NULL");
    return buf;
  }
  const unsigned char *raw = static_cast<const unsigned char *>(addr);
  uint16_t family = 0;
  if (length >= 2) memcpy(&family, raw, 2);
  int need = family == kFamilyInet6  ? kInet6Bytes
             : family == kFamilyInet ? kInetBytes
                                     : 2;
  if (length < need) {
    Format(buf, kAddressText, "<%d bytes>", length);
    return buf;
  }
  char *p = buf;
  switch (family) {
    case 0:  // a structure left zeroed reads as IPv4, as the hooks read it
    case kFamilyInet:
      Format(buf, kAddressText, "%u.%u.%u.%u:%u", raw[4], raw[5], raw[6],
             raw[7], Port(raw));
      return buf;
    case kFamilyInet6: {
      uint32_t scope = 0;
      if (length >= kInet6ScopeBytes) memcpy(&scope, raw + 24, 4);
      *p++ = '[';
      p = PutIn6Text(p, raw + 8);
      if (scope != 0) p += Format(p, 12, "%%%u", scope);
      Format(p, 8, "]:%u", Port(raw));
      return buf;
    }
    case kFamilyUnix: {
      size_t n = static_cast<size_t>(length) - 2;
      if (n > kUnixPathBytes) n = kUnixPathBytes;
      const char *path = reinterpret_cast<const char *>(raw + 2);
      n = strnlen(path, n);
      *p++ = '"';
      p += PutEscapedBytes(p, kAddressText - 3, path, n);
      *p++ = '"';
      *p = '\0';
      return buf;
    }
    default:
      Format(buf, kAddressText, "<family %u>", family);
      return buf;
  }
}

}  // namespace nq
