// Socket values turned into trace text. Each formatter writes into a buffer
// of its own in the calling thread and returns it; the text stays valid
// until the same formatter's next call on the same thread.
#ifndef NQ_HOOKS_FORMATTERS_H
#define NQ_HOOKS_FORMATTERS_H

#include <stddef.h>
#include <stdint.h>

#include "netquill.h"

namespace nq {

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
const char *FormatInAddrOfLength(const void *addr, int length);
const char *FormatSockAddrOfLength(const struct sockaddr *addr, int length);

// The text of a socket address that is not read as IPv4, into buf (size
// bytes, at least 448), from the length bytes at addr (2 or more): false
// when the address is an IPv4 one. The platform's file decides: the
// Windows builds read every address as IPv4, the POSIX builds spell out
// IPv6 ("[2001:db8::1]:443"), AF_UNIX ("\"/run/x\"", "\"@name\"") and name
// other families ("<family N>").
bool FormatFamilyAddress(char *buf, size_t size, const struct sockaddr *addr,
                         int length);

// Caller text (a name, a path) at text, n bytes, into out with the bytes
// 0x00 to 0x1F and 0x7F as \xHH; stops before an escape that would not fit
// in room bytes (the terminator not included). Returns the end.
char *PutEscaped(char *out, size_t room, const char *text, size_t n);
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
