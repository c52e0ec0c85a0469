// Socket values turned into trace text. Each formatter writes into a buffer
// of its own in the calling thread and returns it; the text stays valid
// until the same formatter's next call on the same thread.
#ifndef NQ_HOOKS_FORMATTERS_H
#define NQ_HOOKS_FORMATTERS_H

// A header of the top floor: a file below it must not include it.
#if NQ_FLOOR < 4
#error "src/hooks/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stddef.h>
#include <stdint.h>

#include "netquill.h"

namespace nq {

// Whether socket addresses are read by their family: the build chooses,
// NQ_ADDRESS_FAMILIES with sockaddr_posix.cpp, or without it
// sockaddr_win32.cpp, which reads every address as IPv4, the text the
// Windows trace has always had. kSockAddrTextSize holds the
// longest address text: an AF_UNIX path of 108 bytes, each as \xHH, in
// quotes, where families are read.
#if NQ_ADDRESS_FAMILIES
constexpr bool kAddressFamilies = true;
constexpr size_t kSockAddrTextSize = 448;
#else
constexpr bool kAddressFamilies = false;
constexpr size_t kSockAddrTextSize = 64;
#endif

// The formatters' texts, one buffer each, kept in the calling thread's
// state: valid until the same formatter's next call on the same thread.
struct FormatterTexts {
  char in_addr[32];
  char sock_addr[kSockAddrTextSize];  // an escaped AF_UNIX path on POSIX
  char time_val[48];  // 64-bit POSIX time fields need up to 41 characters
  char int_result[64];
  char socket_result[64];
  char handle_result[64];
  char proc_result[64];
  char host_ent[128];
  char serv_ent[128];
  char proto_ent[128];
};

// The low 16 bits of value with their two bytes exchanged.
uint16_t NetToHostShort(uint32_t value);

// The four bytes at addr as one IPv4 address, in memory order.
uint32_t ReadInAddr(const void *addr);

const char *FormatInAddr(uint32_t addr);
const char *FormatSockAddr(const struct sockaddr *addr);

// The same two for an address whose length the caller states: one shorter
// than the formatter reads (4 bytes of an address, 8 of an IPv4 socket
// address, the whole structure of another family) is not read at all and
// shows as "<N bytes>"; a null one as "NULL". FormatSockAddr reads 8 bytes.
// Only the POSIX builds (kAddressFamilies) read the family.
const char *FormatInAddrOfLength(const void *addr, int length);
const char *FormatSockAddrOfLength(const struct sockaddr *addr, int length);

// The IPv4 text of any socket address, 8 bytes read.
const char *FormatSockAddrIn(const struct sockaddr *addr);

// The text of a socket address that is not read as IPv4, into buf (size
// bytes, kSockAddrTextSize), from the length bytes at addr (2 or more): false
// when the address is an IPv4 one. The platform's file decides: the
// Windows builds read every address as IPv4, the POSIX builds spell out
// IPv6 ("[2001:db8::1]:443"), AF_UNIX ("\"/run/x\"", "\"@name\"") and name
// other families ("<family N>").
bool FormatFamilyAddress(char *buf, size_t size, const struct sockaddr *addr,
                         int length);

// Writes the IPv6 address of the 16 bytes at b at p, as RFC 5952 has it
// (at most 45 characters, no terminator); returns the end.
char *PutIn6Text(char *p, const unsigned char b[16]);

const char *FormatTimeVal(const struct timeval *tv);
const char *FormatIntResult(ptrdiff_t result);
const char *FormatSocketResult(NQ_SOCKET result);
const char *FormatHandleResult(uintptr_t handle);
const char *FormatProcResult(uintptr_t proc);
const char *FormatHostEnt(const struct hostent *entry);
const char *FormatServEnt(const struct servent *entry);
const char *FormatProtoEnt(const struct protoent *entry);

}  // namespace nq

#endif
