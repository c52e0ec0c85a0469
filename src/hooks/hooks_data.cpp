// Hooks of the calls that move data; each adds a dump of the bytes moved.
#include "hooks/hook_common.h"

using namespace nq;

NQ_IORESULT NQ_CALL TX_recv(NQ_IORESULT result, NQ_SOCKET s, NQ_IOBUF *buf,
                            NQ_IOLEN len, int flags) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == -1, (Moved{buf, static_cast<long long>(len), result}),
                "recv(%zd, 0x%zx, %zd, %d) %s", Sock(s), Ptr(buf),
                static_cast<ptrdiff_t>(len), flags, FormatIntResult(result));
  return result;
}

NQ_IORESULT NQ_CALL TX_recvfrom(NQ_IORESULT result, NQ_SOCKET s, NQ_IOBUF *buf,
                                NQ_IOLEN len, int flags, struct sockaddr *from,
                                NQ_SOCKLEN *fromlen) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == -1, (Moved{buf, static_cast<long long>(len), result}),
                "recvfrom(%zd, 0x%zx, %zd, %d, %s, 0x%zx) %s", Sock(s),
                Ptr(buf), static_cast<ptrdiff_t>(len), flags,
                FormatSockAddr(from), Ptr(fromlen), FormatIntResult(result));
  return result;
}

NQ_IORESULT NQ_CALL TX_send(NQ_IORESULT result, NQ_SOCKET s,
                            const NQ_IOBUF *buf, NQ_IOLEN len, int flags) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == -1, (Moved{buf, static_cast<long long>(len), result}),
                "send(%zd, 0x%zx, %zd, %d) %s", Sock(s), Ptr(buf),
                static_cast<ptrdiff_t>(len), flags, FormatIntResult(result));
  return result;
}

NQ_IORESULT NQ_CALL TX_sendto(NQ_IORESULT result, NQ_SOCKET s,
                              const NQ_IOBUF *buf, NQ_IOLEN len, int flags,
                              const struct sockaddr *to, NQ_SOCKLEN tolen) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == -1, (Moved{buf, static_cast<long long>(len), result}),
                "sendto(%zd, 0x%zx, %zd, %d, %s, %d) %s", Sock(s), Ptr(buf),
                static_cast<ptrdiff_t>(len), flags,
                FormatSockAddrOfLength(to, static_cast<int>(tolen)),
                static_cast<int>(tolen), FormatIntResult(result));
  return result;
}
