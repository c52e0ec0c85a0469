// Hooks of the calls that move data; each adds a dump of the bytes moved.
#include "hooks/hook_common.h"

using namespace nq;

// The call line, then the dump of what moved, both between capture and
// restore so the dump is written while the call's state is in place. The
// line's values are worked out only when the line will be written.
#define NQ_TRACE_TRANSFER(result, buf, len, ...)                   \
  do {                                                             \
    TraceContext *nq_ctx = CaptureCallError((result) == -1);       \
    if (WouldWrite(nq_ctx, TRACE_KIND_CALL)) {                     \
      TraceFormat(TRACE_KIND_CALL, __VA_ARGS__);                   \
    }                                                              \
    if ((result) != -1) {                                          \
      DumpMoved(nq_ctx, buf, static_cast<long long>(len), result); \
    }                                                              \
    RestoreCallError(nq_ctx);                                      \
  } while (0)

NQ_IORESULT NQ_CALL TX_recv(NQ_IORESULT result, NQ_SOCKET s, NQ_IOBUF *buf,
                            NQ_IOLEN len, int flags) {
  if (NobodyTraces()) return result;
  NQ_TRACE_TRANSFER(result, buf, len, "recv(%zd, 0x%zx, %zd, %d) %s", Sock(s),
                    Ptr(buf), static_cast<ptrdiff_t>(len), flags,
                    FormatIntResult(result));
  return result;
}

NQ_IORESULT NQ_CALL TX_recvfrom(NQ_IORESULT result, NQ_SOCKET s, NQ_IOBUF *buf,
                                NQ_IOLEN len, int flags, struct sockaddr *from,
                                NQ_SOCKLEN *fromlen) {
  if (NobodyTraces()) return result;
  NQ_TRACE_TRANSFER(
      result, buf, len, "recvfrom(%zd, 0x%zx, %zd, %d, %s, 0x%zx) %s", Sock(s),
      Ptr(buf), static_cast<ptrdiff_t>(len), flags, FormatSockAddr(from),
      Ptr(fromlen), FormatIntResult(result));
  return result;
}

NQ_IORESULT NQ_CALL TX_send(NQ_IORESULT result, NQ_SOCKET s,
                            const NQ_IOBUF *buf, NQ_IOLEN len, int flags) {
  if (NobodyTraces()) return result;
  NQ_TRACE_TRANSFER(result, buf, len, "send(%zd, 0x%zx, %zd, %d) %s", Sock(s),
                    Ptr(buf), static_cast<ptrdiff_t>(len), flags,
                    FormatIntResult(result));
  return result;
}

NQ_IORESULT NQ_CALL TX_sendto(NQ_IORESULT result, NQ_SOCKET s,
                              const NQ_IOBUF *buf, NQ_IOLEN len, int flags,
                              const struct sockaddr *to, NQ_SOCKLEN tolen) {
  if (NobodyTraces()) return result;
  NQ_TRACE_TRANSFER(result, buf, len, "sendto(%zd, 0x%zx, %zd, %d, %s, %d) %s",
                    Sock(s), Ptr(buf), static_cast<ptrdiff_t>(len), flags,
                    FormatSockAddrOfLength(to, static_cast<int>(tolen)),
                    static_cast<int>(tolen), FormatIntResult(result));
  return result;
}
