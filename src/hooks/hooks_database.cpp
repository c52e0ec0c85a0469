// Hooks of the name-service calls: hosts, services, protocols.
#include "hooks/hook_common.h"

using namespace nq;

struct hostent *NQ_CALL TX_gethostbyaddr(struct hostent *result,
                                         const char *addr, int len, int type) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == nullptr, kNothingMoved,
                "gethostbyaddr(%s, %d, %d) %s", AddressAt(addr, len), len, type,
                FormatHostEnt(result));
  return result;
}

// A null name shows as "(null)".
struct hostent *NQ_CALL TX_gethostbyname(struct hostent *result,
                                         const char *name) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == nullptr, kNothingMoved, "gethostbyname(\"%s\") %s",
                Escape(name).text, FormatHostEnt(result));
  return result;
}

struct protoent *NQ_CALL TX_getprotobyname(struct protoent *result,
                                           const char *name) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == nullptr, kNothingMoved, "getprotobyname(\"%s\") %s",
                Escape(OrEmpty(name)).text, FormatProtoEnt(result));
  return result;
}

struct protoent *NQ_CALL TX_getprotobynumber(struct protoent *result,
                                             int number) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == nullptr, kNothingMoved, "getprotobynumber(%d) %s",
                number, FormatProtoEnt(result));
  return result;
}

struct servent *NQ_CALL TX_getservbyname(struct servent *result,
                                         const char *name, const char *proto) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == nullptr, kNothingMoved,
                "getservbyname(\"%s\", \"%s\") %s", Escape(OrEmpty(name)).text,
                Escape(OrEmpty(proto)).text, FormatServEnt(result));
  return result;
}

struct servent *NQ_CALL TX_getservbyport(struct servent *result, int port,
                                         const char *proto) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == nullptr, kNothingMoved,
                "getservbyport(%d, \"%s\") %s",
                NetToHostShort(static_cast<uint32_t>(port)),
                Escape(OrEmpty(proto)).text, FormatServEnt(result));
  return result;
}

// The host name shows only after a successful call, and no more of it is
// read than the caller's buffer holds.
int NQ_CALL TX_gethostname(int result, char *name, NQ_IOLEN namelen) {
  if (NobodyTraces()) return result;
  long long room = static_cast<long long>(namelen);
  int shown = 0;
  if (result != -1 && name != nullptr && room > 0) {
    shown = room < static_cast<long long>(kTraceFormatSize)
                ? static_cast<int>(room)
                : static_cast<int>(kTraceFormatSize);
  }
  NQ_TRACE_CALL(result == -1, kNothingMoved,
                "gethostname(0x%zx (\"%s\"), %zd) %s", Ptr(name),
                Escape(shown > 0 ? name : "", shown).text,
                static_cast<ptrdiff_t>(namelen), FormatIntResult(result));
  return result;
}
