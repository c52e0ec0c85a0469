// The value formatters. Buffers are per thread, so hooks running at once
// on several threads never see each other's text.
#include "hooks/formatters.h"

#include <string.h>

#include "core/thread_state.h"
#include "output/digits.h"
#include "output/format.h"

namespace nq {
namespace {

// The calling thread's formatter texts; null when it has no state, and
// then a formatter returns kNoText (such a thread writes no record).
FormatterTexts *Texts() {
  ThreadState *ts = ThisThread();
  return ts ? static_cast<FormatterTexts *>(ThreadTexts(ts)) : nullptr;
}

const char kNoText[] = "";

// The four address bytes as dotted decimal at p; returns the end. A socket
// address is the text of nearly every connect, bind and accept line, so it
// is put together from the byte table rather than through the general
// formatter. Each number goes out as a four-byte copy, so up to 16 bytes
// are written.
char *PutDotted(char *p, const unsigned char b[4]) {
  for (int i = 0; i < 4; ++i) {
    memcpy(p, kDigits.byte_text[b[i]], 4);
    p += kDigits.byte_length[b[i]];
    *p++ = '.';
  }
  return p - 1;
}

// "returned " and value in signed decimal, into a buffer of 64 bytes.
const char *ReturnedSigned(char *buf, int64_t value) {
  memcpy(buf, "returned ", 9);
  *PutSigned(buf + 9, value) = '\0';
  return buf;
}

// "returned <head> (<name>)" into buf, the name escaped; a name too long
// for the buffer is cut so that the closing parenthesis still ends the text.
const char *EntryText(char *buf, size_t size, const char *head,
                      const char *name) {
  size_t n = Format(buf, size, "returned %s (", head);
  size_t room = size - n - 1;  // the name, its terminator; then ')'
  size_t len = name ? PutEscaped(buf + n, room, name, SIZE_MAX) : 0;
  buf[n + len] = ')';
  buf[n + len + 1] = '\0';
  return buf;
}

// Into a buffer of at least 16 bytes: up to 15 characters and the
// terminator, which also covers what PutDotted writes past its text.
const char *Dotted(char *buf, uint32_t addr) {
  unsigned char b[4];
  memcpy(b, &addr, 4);
  *PutDotted(buf, b) = '\0';
  return buf;
}

// "<N bytes>" into a buffer of at least 20 bytes: the place of an address
// too short to be read.
const char *ShortText(char *buf, int length) {
  char *p = buf;
  *p++ = '<';
  p = PutSigned(p, length);
  memcpy(p, " bytes>", 8);
  return buf;
}

// Bytes that an address and a socket address are read from.
constexpr int kInAddrBytes = 4;
constexpr int kSockAddrBytes = 8;  // family, port, address

const char *PointerResult(char *buf, size_t size, uintptr_t value) {
  if (value == 0) return strcpy(buf, "returned NULL");
  Format(buf, size, "returned 0x%zx", static_cast<size_t>(value));
  return buf;
}

}  // namespace

uint16_t NetToHostShort(uint32_t value) {
  return static_cast<uint16_t>(((value & 0xFFu) << 8) | ((value >> 8) & 0xFFu));
}

uint32_t ReadInAddr(const void *addr) {
  uint32_t value;
  memcpy(&value, addr, 4);
  return value;
}

const char *FormatInAddr(uint32_t addr) {
  FormatterTexts *t = Texts();
  if (t == nullptr) return kNoText;
  return Dotted(t->in_addr, addr);
}

const char *FormatInAddrOfLength(const void *addr, int length) {
  FormatterTexts *t = Texts();
  if (t == nullptr) return kNoText;
  if (addr == nullptr) return strcpy(t->in_addr, "NULL");
  if (length < kInAddrBytes) return ShortText(t->in_addr, length);
  return FormatInAddr(ReadInAddr(addr));
}

const char *FormatSockAddrOfLength(const struct sockaddr *addr, int length) {
  // kAddressFamilies is a constant: the Windows builds, which read every
  // address as IPv4, keep the one test of the short address.
  if (addr != nullptr && (kAddressFamilies || length < kSockAddrBytes)) {
    FormatterTexts *t = Texts();
    if (t == nullptr) return kNoText;
    if (kAddressFamilies && length >= 2 &&
        FormatFamilyAddress(t->sock_addr, sizeof t->sock_addr, addr, length)) {
      return t->sock_addr;
    }
    if (length < kSockAddrBytes) return ShortText(t->sock_addr, length);
  }
  return FormatSockAddrIn(addr);
}

const char *FormatSockAddr(const struct sockaddr *addr) {
  if (kAddressFamilies) return FormatSockAddrOfLength(addr, kSockAddrBytes);
  return FormatSockAddrIn(addr);
}

const char *FormatSockAddrIn(const struct sockaddr *addr) {
  FormatterTexts *t = Texts();
  if (t == nullptr) return kNoText;
  if (addr == nullptr) return strcpy(t->sock_addr, "NULL");
  // Read as an IPv4 address whatever the family says: the port and the
  // address lie at the same place in every sockaddr of 8 bytes or more.
  const unsigned char *raw = reinterpret_cast<const unsigned char *>(addr);
  uint16_t port;
  uint32_t in;
  memcpy(&port, raw + offsetof(struct sockaddr_in, sin_port), 2);
  memcpy(&in, raw + offsetof(struct sockaddr_in, sin_addr), 4);
  unsigned char b[4];
  memcpy(b, &in, 4);
  unsigned char p[2];
  memcpy(p, &port, 2);
  char *end = PutDotted(t->sock_addr, b);
  *end++ = ':';
  *PutDecimal(end, static_cast<unsigned>(p[0] << 8 | p[1])) = '\0';
  return t->sock_addr;
}

const char *FormatTimeVal(const struct timeval *tv) {
  FormatterTexts *t = Texts();
  if (t == nullptr) return kNoText;
  if (tv == nullptr) return strcpy(t->time_val, "NULL");
  Format(t->time_val, sizeof t->time_val, "%lld:%lld",
         static_cast<long long>(tv->tv_sec),
         static_cast<long long>(tv->tv_usec));
  return t->time_val;
}

const char *FormatIntResult(ptrdiff_t result) {
  FormatterTexts *t = Texts();
  if (t == nullptr) return kNoText;
  return ReturnedSigned(t->int_result, result);
}

const char *FormatSocketResult(NQ_SOCKET result) {
  FormatterTexts *t = Texts();
  if (t == nullptr) return kNoText;
  if (result == static_cast<NQ_SOCKET>(-1)) {
    return strcpy(t->socket_result, "returned INVALID_SOCKET");
  }
  return ReturnedSigned(t->socket_result, static_cast<ptrdiff_t>(result));
}

const char *FormatHandleResult(uintptr_t handle) {
  FormatterTexts *t = Texts();
  if (t == nullptr) return kNoText;
  return PointerResult(t->handle_result, sizeof t->handle_result, handle);
}

const char *FormatProcResult(uintptr_t proc) {
  FormatterTexts *t = Texts();
  if (t == nullptr) return kNoText;
  return PointerResult(t->proc_result, sizeof t->proc_result, proc);
}

const char *FormatHostEnt(const struct hostent *entry) {
  FormatterTexts *t = Texts();
  if (t == nullptr) return kNoText;
  if (entry == nullptr) return strcpy(t->host_ent, "returned NULL");
  char address[32];
  // An entry without addresses says so rather than invent one, and one
  // whose addresses are shorter than four bytes is not read past them.
  const char *head = "(no address)";
  if (entry->h_addr_list != nullptr && entry->h_addr_list[0] != nullptr) {
    int length = static_cast<int>(entry->h_length);
    head = length < kInAddrBytes
               ? ShortText(address, length)
               : Dotted(address, ReadInAddr(entry->h_addr_list[0]));
  }
  return EntryText(t->host_ent, sizeof t->host_ent, head, entry->h_name);
}

const char *FormatServEnt(const struct servent *entry) {
  FormatterTexts *t = Texts();
  if (t == nullptr) return kNoText;
  if (entry == nullptr) return strcpy(t->serv_ent, "returned NULL");
  char port[8];
  Format(port, sizeof port, "%u",
         NetToHostShort(static_cast<uint32_t>(entry->s_port)));
  return EntryText(t->serv_ent, sizeof t->serv_ent, port, entry->s_name);
}

const char *FormatProtoEnt(const struct protoent *entry) {
  FormatterTexts *t = Texts();
  if (t == nullptr) return kNoText;
  if (entry == nullptr) return strcpy(t->proto_ent, "returned NULL");
  char proto[8];
  Format(proto, sizeof proto, "%d", static_cast<int16_t>(entry->p_proto));
  return EntryText(t->proto_ent, sizeof t->proto_ent, proto, entry->p_name);
}

}  // namespace nq
