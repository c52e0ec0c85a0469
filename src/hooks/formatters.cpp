// The value formatters. Buffers are per thread, so hooks running at once
// on several threads never see each other's text.
#include "hooks/formatters.h"

#include <string.h>

#include "output/format.h"

namespace nq {
namespace {

thread_local char t_in_addr[32];
thread_local char t_sock_addr[64];
thread_local char t_time_val[32];
thread_local char t_int_result[64];
thread_local char t_socket_result[64];
thread_local char t_handle_result[64];
thread_local char t_proc_result[64];
thread_local char t_host_ent[128];
thread_local char t_serv_ent[128];
thread_local char t_proto_ent[128];

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

const char *Dotted(char *buf, size_t size, uint32_t addr) {
  unsigned char b[4];
  memcpy(b, &addr, 4);
  Format(buf, size, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return buf;
}

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
  return Dotted(t_in_addr, sizeof t_in_addr, addr);
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
  Format(t_sock_addr, sizeof t_sock_addr, "%u.%u.%u.%u:%u", b[0], b[1], b[2],
         b[3], static_cast<unsigned>(p[0] << 8 | p[1]));
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
  Format(t_int_result, sizeof t_int_result, "returned %zd", result);
  return t_int_result;
}

const char *FormatSocketResult(NQ_SOCKET result) {
  if (result == static_cast<NQ_SOCKET>(-1)) {
    return strcpy(t_socket_result, "returned INVALID_SOCKET");
  }
  Format(t_socket_result, sizeof t_socket_result, "returned %zd",
         static_cast<ptrdiff_t>(result));
  return t_socket_result;
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
  // An entry without addresses says so rather than invent one.
  const char *head = "(no address)";
  if (entry->h_addr_list != nullptr && entry->h_addr_list[0] != nullptr) {
    head = Dotted(address, sizeof address, ReadInAddr(entry->h_addr_list[0]));
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
