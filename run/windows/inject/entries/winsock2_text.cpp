// Texts of the launcher's Windows Sockets 2 lines. The address families
// and codes are the Windows ones, written out here, so that this file
// needs no system header.
#include "entries/winsock2_text.h"

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

const FlagName kNetworkEvents[] = {
    {0x01, "FD_READ"},
    {0x02, "FD_WRITE"},
    {0x04, "FD_OOB"},
    {0x08, "FD_ACCEPT"},
    {0x10, "FD_CONNECT"},
    {0x20, "FD_CLOSE"},
    {0x40, "FD_QOS"},
    {0x80, "FD_GROUP_QOS"},
    {0x100, "FD_ROUTING_INTERFACE_CHANGE"},
    {0x200, "FD_ADDRESS_LIST_CHANGE"},
};
const size_t kNetworkEventCount =
    sizeof kNetworkEvents / sizeof *kNetworkEvents;

const FlagName kPollEvents[] = {
    {0x300, "POLLIN"},  {0x100, "POLLRDNORM"}, {0x200, "POLLRDBAND"},
    {0x400, "POLLPRI"}, {0x010, "POLLOUT"},    {0x020, "POLLWRBAND"},
    {0x001, "POLLERR"}, {0x002, "POLLHUP"},    {0x004, "POLLNVAL"},
};
const size_t kPollEventCount = sizeof kPollEvents / sizeof *kPollEvents;

const char *FlagsText(char *buf, size_t size, uint32_t value,
                      const FlagName *names, size_t n) {
  char *p = buf;
  char *end = buf + size;
  uint32_t left = value;
  for (size_t i = 0; i < n && left != 0; ++i) {
    if ((left & names[i].bit) != names[i].bit) continue;
    left &= ~names[i].bit;
    p += Format(p, static_cast<size_t>(end - p), "%s%s", p == buf ? "" : "|",
                names[i].name);
  }
  if (left != 0 || value == 0)
    Format(p, static_cast<size_t>(end - p), "%s0x%x", p == buf ? "" : "|",
           left);
  if (value == 0) strcpy(buf, "0");
  return buf;
}

const char *ControlCodeName(uint32_t code) {
  static const struct {
    uint32_t code;
    const char *name;
  } kCodes[] = {
      {0x8004667E, "FIONBIO"},
      {0x4004667F, "FIONREAD"},
      {0x40047307, "SIOCATMARK"},
      {0xC8000006, "SIO_GET_EXTENSION_FUNCTION_POINTER"},
      {0x48000022, "SIO_BASE_HANDLE"},
      {0x4800001B, "SIO_BSP_HANDLE"},
      {0x4800001C, "SIO_BSP_HANDLE_SELECT"},
      {0x4800001D, "SIO_BSP_HANDLE_POLL"},
      {0x98000004, "SIO_KEEPALIVE_VALS"},
      {0x98000010, "SIO_LOOPBACK_FAST_PATH"},
      {0x9800000C, "SIO_UDP_CONNRESET"},
      {0x48000016, "SIO_ADDRESS_LIST_QUERY"},
      {0x28000017, "SIO_ADDRESS_LIST_CHANGE"},
      {0xC8000014, "SIO_ROUTING_INTERFACE_QUERY"},
      {0x4004747F, "SIO_GET_INTERFACE_LIST"},
      {0x4004747B, "SIO_IDEAL_SEND_BACKLOG_QUERY"},
      {0x0004747C, "SIO_IDEAL_SEND_BACKLOG_CHANGE"},
      {0x98000001, "SIO_RCVALL"},
      {0xC8000024, "SIO_QUERY_RSS_SCALABILITY_INFO"},
  };
  for (const auto &c : kCodes)
    if (c.code == code) return c.name;
  return nullptr;
}

const char *ExtensionName(const void *guid) {
  // Laid out as a GUID lies in memory.
  struct Guid {
    uint32_t a;
    uint16_t b, c;
    unsigned char d[8];
  };
  static const struct {
    Guid guid;
    const char *name;
  } kGuids[] = {
      {{0xb5367df1,
        0xcbac,
        0x11cf,
        {0x95, 0xca, 0x00, 0x80, 0x5f, 0x48, 0xa1, 0x92}},
       "AcceptEx"},
      {{0x25a207b9,
        0xddf3,
        0x4660,
        {0x8e, 0xe9, 0x76, 0xe5, 0x8c, 0x74, 0x06, 0x3e}},
       "ConnectEx"},
      {{0x7fda2e11,
        0x8630,
        0x436f,
        {0xa0, 0x31, 0xf5, 0x36, 0xa6, 0xee, 0xc1, 0x57}},
       "DisconnectEx"},
      {{0xb5367df2,
        0xcbac,
        0x11cf,
        {0x95, 0xca, 0x00, 0x80, 0x5f, 0x48, 0xa1, 0x92}},
       "GetAcceptExSockaddrs"},
      {{0xb5367df0,
        0xcbac,
        0x11cf,
        {0x95, 0xca, 0x00, 0x80, 0x5f, 0x48, 0xa1, 0x92}},
       "TransmitFile"},
      {{0xd9689da0,
        0x1f90,
        0x11d3,
        {0x99, 0x71, 0x00, 0xc0, 0x4f, 0x68, 0xc8, 0x76}},
       "TransmitPackets"},
      {{0xf689d7c8,
        0x6f1f,
        0x436b,
        {0x8a, 0x53, 0xe5, 0x4f, 0xe3, 0x51, 0xc3, 0x22}},
       "WSARecvMsg"},
      {{0xa441e712,
        0x754f,
        0x43ca,
        {0x84, 0xa7, 0x0d, 0xee, 0x44, 0xcf, 0x60, 0x6d}},
       "WSASendMsg"},
      {{0x18c76f85,
        0xdc66,
        0x4964,
        {0x97, 0x2e, 0x23, 0xc2, 0x72, 0x38, 0x31, 0x2b}},
       "WSAPoll"},
  };
  static_assert(sizeof(Guid) == 16, "a GUID is 16 bytes");
  if (guid == nullptr) return nullptr;
  for (const auto &g : kGuids)
    if (memcmp(&g.guid, guid, 16) == 0) return g.name;
  return nullptr;
}

char *PutQuotedNarrow(char *p, size_t room, const char *text) {
  if (text == nullptr) return p + Format(p, room, "NULL");
  *p++ = '"';
  p += PutEscaped(p, room - 2, text, SIZE_MAX);
  *p++ = '"';
  *p = '\0';
  return p;
}

char *PutQuotedWide(char *p, size_t room, const wchar_t *text) {
  if (text == nullptr) return p + Format(p, room, "NULL");
  // UTF-16 to UTF-8, at most 256 characters, a lone surrogate as U+FFFD.
  char utf8[1024];
  size_t n = 0;
  for (size_t i = 0; text[i] != 0 && i < 256; ++i) {
    uint32_t c = static_cast<uint16_t>(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) +
          (static_cast<uint16_t>(text[++i]) - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      utf8[n++] = static_cast<char>(c);
    } else if (c < 0x800) {
      utf8[n++] = static_cast<char>(0xC0 | c >> 6);
      utf8[n++] = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      utf8[n++] = static_cast<char>(0xE0 | c >> 12);
      utf8[n++] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
      utf8[n++] = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      utf8[n++] = static_cast<char>(0xF0 | c >> 18);
      utf8[n++] = static_cast<char>(0x80 | (c >> 12 & 0x3F));
      utf8[n++] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
      utf8[n++] = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  utf8[n] = '\0';
  return PutQuotedNarrow(p, room, utf8);
}

}  // namespace nq
