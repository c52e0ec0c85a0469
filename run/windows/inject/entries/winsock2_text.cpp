// Texts of the launcher's Windows Sockets 2 lines: the control codes and
// the extensions' GUIDs are the SDK's.
#include "entries/winsock2_text.h"

// winsock2.h before the headers that extend it.
#include <winsock2.h>

#include <mstcpip.h>
#include <mswsock.h>
#include <string.h>
#include <ws2tcpip.h>

#include "netquill_calls.h"
#include "output/format.h"

namespace nq {

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
#define NQ_CODE(name) \
  { static_cast<uint32_t>(name), #name }
  static constexpr struct {
    uint32_t code;
    const char *name;
  } kCodes[] = {
      NQ_CODE(FIONBIO),
      NQ_CODE(FIONREAD),
      NQ_CODE(SIOCATMARK),
      NQ_CODE(SIO_GET_EXTENSION_FUNCTION_POINTER),
      NQ_CODE(SIO_BASE_HANDLE),
      NQ_CODE(SIO_BSP_HANDLE),
      NQ_CODE(SIO_BSP_HANDLE_SELECT),
      NQ_CODE(SIO_BSP_HANDLE_POLL),
      NQ_CODE(SIO_KEEPALIVE_VALS),
      NQ_CODE(SIO_LOOPBACK_FAST_PATH),
      NQ_CODE(SIO_UDP_CONNRESET),
      NQ_CODE(SIO_ADDRESS_LIST_QUERY),
      NQ_CODE(SIO_ADDRESS_LIST_CHANGE),
      NQ_CODE(SIO_ROUTING_INTERFACE_QUERY),
      NQ_CODE(SIO_GET_INTERFACE_LIST),
      // The SDK's headers here lack these three names: their codes as
      // Windows makes them, with the SDK's macros for making codes.
      {_IOR('t', 123, ULONG), "SIO_IDEAL_SEND_BACKLOG_QUERY"},
      {_IO('t', 122), "SIO_IDEAL_SEND_BACKLOG_CHANGE"},
      NQ_CODE(SIO_RCVALL),
      {_WSAIOR(IOC_VENDOR, 210), "SIO_QUERY_RSS_SCALABILITY_INFO"},
  };
#undef NQ_CODE
  for (const auto &c : kCodes)
    if (c.code == code) return c.name;
  return nullptr;
}

const char *ExtensionName(const void *guid) {
  static constexpr struct {
    GUID guid;
    const char *name;
  } kGuids[] = {
#define NQ_GUID(name, wsaid) {wsaid, #name},
      NQ_EXTENSION_IDS(NQ_GUID)
#undef NQ_GUID
  };
  if (guid == nullptr) return nullptr;
  for (const auto &g : kGuids)
    if (memcmp(&g.guid, guid, sizeof g.guid) == 0) return g.name;
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
