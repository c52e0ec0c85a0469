// The value formatters. Buffers are per thread, so hooks running at once
// on several threads never see each other's text.
#include "hooks/formatters.h"

#include <string.h>

#include "output/format.h"

namespace nq {
namespace {

thread_local char t_in_addr[32];
thread_local char t_sock_addr[64];
// 64-bit POSIX time fields need up to 41 characters where Windows needs 23.
thread_local char t_time_val[48];
thread_local char t_int_result[64];
thread_local char t_socket_result[64];
thread_local char t_handle_result[64];
thread_local char t_proc_result[64];
thread_local char t_host_ent[128];
thread_local char t_serv_ent[128];
thread_local char t_proto_ent[128];

// Every byte value in decimal, for the dotted addresses: a socket address
// is the text of nearly every connect, bind and accept line, so it is put
// together from this table rather than through the general formatter.
struct ByteTexts {
  char text[256][4];  // up to three digits
  unsigned char length[256];
};

constexpr ByteTexts MakeByteTexts() {
  ByteTexts t{};
  for (int b = 0; b < 256; ++b) {
    int n = 0;
    if (b >= 100) t.text[b][n++] = static_cast<char>('0' + b / 100);
    if (b >= 10) t.text[b][n++] = static_cast<char>('0' + b / 10 % 10);
    t.text[b][n++] = static_cast<char>('0' + b % 10);
    t.length[b] = static_cast<unsigned char>(n);
  }
  return t;
}

constexpr ByteTexts kBytes = MakeByteTexts();

// The four address bytes as dotted decimal at p; returns the end. Each
// number goes out as a four-byte copy, so up to 16 bytes are written.
char *PutDotted(char *p, const unsigned char b[4]) {
  for (int i = 0; i < 4; ++i) {
    memcpy(p, kBytes.text[b[i]], 4);
    p += kBytes.length[b[i]];
    *p++ = '.';
  }
  return p - 1;
}

// value in decimal at p; returns the end. Values that fit 32 bits stay in
// 32-bit arithmetic, which the 32-bit build does without a library call.
char *PutUnsigned(char *p, uint64_t value) {
  char tmp[20];
  char *end = tmp + sizeof tmp;
  char *q = end;
  while (value > UINT32_MAX) {
    *--q = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  uint32_t v = static_cast<uint32_t>(value);
  do {
    *--q = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  memcpy(p, q, static_cast<size_t>(end - q));
  return p + (end - q);
}

char *PutSigned(char *p, int64_t value) {
  if (value < 0) {
    *p++ = '-';
    return PutUnsigned(p, 0 - static_cast<uint64_t>(value));
  }
  return PutUnsigned(p, static_cast<uint64_t>(value));
}

// "returned " and value in signed decimal, into a buffer of 64 bytes.
const char *ReturnedSigned(char *buf, int64_t value) {
  memcpy(buf, "returned ", 9);
  *PutSigned(buf + 9, value) = '\0';
  return buf;
}

// "returned <head> (<name>)" into buf; a name too long for the buffer is
// cut so that the closing parenthesis still ends the text.
const char *EntryText(char *buf, size_t size, const char *head,
                      const char *name) {
  size_t n = Format(buf, size, "returned %s (", head);
  size_t room = size - n - 2;  // the ')' and the terminator
  size_t len = name ? strnlen(name, room) : 0;
  if (len > 0) memcpy(buf + n, name, len);
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

const char *FormatInAddr(uint32_t addr) { return Dotted(t_in_addr, addr); }

const char *FormatInAddrOfLength(const void *addr, int length) {
  if (addr == nullptr) return strcpy(t_in_addr, "NULL");
  if (length < kInAddrBytes) return ShortText(t_in_addr, length);
  return FormatInAddr(ReadInAddr(addr));
}

const char *FormatSockAddrOfLength(const struct sockaddr *addr, int length) {
  if (addr != nullptr && length < kSockAddrBytes) {
    return ShortText(t_sock_addr, length);
  }
  return FormatSockAddr(addr);
}

const char *FormatSockAddr(const struct sockaddr *addr) {
  if (addr == nullptr) return strcpy(t_sock_addr, "NULL");
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
  char *end = PutDotted(t_sock_addr, b);
  *end++ = ':';
  *PutUnsigned(end, static_cast<unsigned>(p[0] << 8 | p[1])) = '\0';
  return t_sock_addr;
}

const char *FormatTimeVal(const struct timeval *tv) {
  if (tv == nullptr) return strcpy(t_time_val, "NULL");
  Format(t_time_val, sizeof t_time_val, "%lld:%lld",
         static_cast<long long>(tv->tv_sec),
         static_cast<long long>(tv->tv_usec));
  return t_time_val;
}

const char *FormatIntResult(ptrdiff_t result) {
  return ReturnedSigned(t_int_result, result);
}

const char *FormatSocketResult(NQ_SOCKET result) {
  if (result == static_cast<NQ_SOCKET>(-1)) {
    return strcpy(t_socket_result, "returned INVALID_SOCKET");
  }
  return ReturnedSigned(t_socket_result, static_cast<ptrdiff_t>(result));
}

const char *FormatHandleResult(uintptr_t handle) {
  return PointerResult(t_handle_result, sizeof t_handle_result, handle);
}

const char *FormatProcResult(uintptr_t proc) {
  return PointerResult(t_proc_result, sizeof t_proc_result, proc);
}

const char *FormatHostEnt(const struct hostent *entry) {
  if (entry == nullptr) return strcpy(t_host_ent, "returned NULL");
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
  return EntryText(t_host_ent, sizeof t_host_ent, head, entry->h_name);
}

const char *FormatServEnt(const struct servent *entry) {
  if (entry == nullptr) return strcpy(t_serv_ent, "returned NULL");
  char port[8];
  Format(port, sizeof port, "%u",
         NetToHostShort(static_cast<uint32_t>(entry->s_port)));
  return EntryText(t_serv_ent, sizeof t_serv_ent, port, entry->s_name);
}

const char *FormatProtoEnt(const struct protoent *entry) {
  if (entry == nullptr) return strcpy(t_proto_ent, "returned NULL");
  char proto[8];
  Format(proto, sizeof proto, "%d", static_cast<int16_t>(entry->p_proto));
  return EntryText(t_proto_ent, sizeof t_proto_ent, proto, entry->p_name);
}

}  // namespace nq
