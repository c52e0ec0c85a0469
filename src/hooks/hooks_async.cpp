// Hooks of the asynchronous calls and of the blocking-hook calls.
#include "hooks/hook_common.h"

using namespace nq;

namespace {

uintptr_t HandleValue(NQ_HANDLE handle) {
  return reinterpret_cast<uintptr_t>(handle);
}

}  // namespace

int NQ_CALL TX_WSAAsyncSelect(int result, NQ_SOCKET s, NQ_HWND hWnd,
                              NQ_UINT wMsg, long lEvent) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == -1, kNothingMoved,
                "WSAAsyncSelect(%zd, 0x%zx, 0x%x, 0x%lx) %s", Sock(s),
                Ptr(hWnd), wMsg, static_cast<unsigned long>(lEvent),
                FormatIntResult(result));
  return result;
}

NQ_HANDLE NQ_CALL TX_WSAAsyncGetHostByAddr(NQ_HANDLE result, NQ_HWND hWnd,
                                           NQ_UINT wMsg, const char *addr,
                                           int len, int type, char *buf,
                                           int buflen) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == nullptr, kNothingMoved,
                "WSAAsyncGetHostByAddr(0x%zx, 0x%x, %s, %d, %d, 0x%zx, %d) %s",
                Ptr(hWnd), wMsg, AddressAt(addr, len), len, type, Ptr(buf),
                buflen, FormatHandleResult(HandleValue(result)));
  return result;
}

NQ_HANDLE NQ_CALL TX_WSAAsyncGetHostByName(NQ_HANDLE result, NQ_HWND hWnd,
                                           NQ_UINT wMsg, const char *name,
                                           char *buf, int buflen) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == nullptr, kNothingMoved,
                "WSAAsyncGetHostByName(0x%zx, 0x%x, \"%s\", 0x%zx, %d) %s",
                Ptr(hWnd), wMsg, Escape(OrEmpty(name)).text, Ptr(buf), buflen,
                FormatHandleResult(HandleValue(result)));
  return result;
}

NQ_HANDLE NQ_CALL TX_WSAAsyncGetProtoByNumber(NQ_HANDLE result, NQ_HWND hWnd,
                                              NQ_UINT wMsg, int number,
                                              char *buf, int buflen) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == nullptr, kNothingMoved,
                "WSAAsyncGetProtoByNumber(0x%zx, 0x%x, %d, 0x%zx, %d) %s",
                Ptr(hWnd), wMsg, number, Ptr(buf), buflen,
                FormatHandleResult(HandleValue(result)));
  return result;
}

NQ_HANDLE NQ_CALL TX_WSAAsyncGetProtoByName(NQ_HANDLE result, NQ_HWND hWnd,
                                            NQ_UINT wMsg, const char *name,
                                            char *buf, int buflen) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == nullptr, kNothingMoved,
                "WSAAsyncGetProtoByName(0x%zx, 0x%x, \"%s\", 0x%zx, %d) %s",
                Ptr(hWnd), wMsg, Escape(OrEmpty(name)).text, Ptr(buf), buflen,
                FormatHandleResult(HandleValue(result)));
  return result;
}

NQ_HANDLE NQ_CALL TX_WSAAsyncGetServByPort(NQ_HANDLE result, NQ_HWND hWnd,
                                           NQ_UINT wMsg, int port,
                                           const char *proto, char *buf,
                                           int buflen) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == nullptr, kNothingMoved,
                "WSAAsyncGetServByPort(0x%zx, 0x%x, %d, \"%s\", 0x%zx, %d) %s",
                Ptr(hWnd), wMsg, NetToHostShort(static_cast<uint32_t>(port)),
                Escape(OrEmpty(proto)).text, Ptr(buf), buflen,
                FormatHandleResult(HandleValue(result)));
  return result;
}

NQ_HANDLE NQ_CALL TX_WSAAsyncGetServByName(NQ_HANDLE result, NQ_HWND hWnd,
                                           NQ_UINT wMsg, const char *name,
                                           const char *proto, char *buf,
                                           int buflen) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(
      result == nullptr, kNothingMoved,
      "WSAAsyncGetServByName(0x%zx, 0x%x, \"%s\", \"%s\", 0x%zx, %d) %s",
      Ptr(hWnd), wMsg, Escape(OrEmpty(name)).text, Escape(OrEmpty(proto)).text,
      Ptr(buf), buflen, FormatHandleResult(HandleValue(result)));
  return result;
}

int NQ_CALL TX_WSACancelAsyncRequest(int result, NQ_HANDLE hAsyncTaskHandle) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == -1, kNothingMoved, "WSACancelAsyncRequest(0x%zx) %s",
                Ptr(hAsyncTaskHandle), FormatIntResult(result));
  return result;
}

// Setting a blocking hook never counts as a failure, whatever it returns.
NQ_PROC NQ_CALL TX_WSASetBlockingHook(NQ_PROC result, NQ_PROC lpBlockFunc) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(0, kNothingMoved, "WSASetBlockingHook(0x%zx) %s",
                Ptr(lpBlockFunc), FormatProcResult(Ptr(result)));
  return result;
}

int NQ_CALL TX_WSAUnhookBlockingHook(int result) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == -1, kNothingMoved, "WSAUnhookBlockingHook() %s",
                FormatIntResult(result));
  return result;
}

int NQ_CALL TX_WSACancelBlockingCall(int result) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(result == -1, kNothingMoved, "WSACancelBlockingCall() %s",
                FormatIntResult(result));
  return result;
}

NQ_BOOL NQ_CALL TX_WSAIsBlocking(NQ_BOOL result) {
  if (NobodyTraces()) return result;
  NQ_TRACE_CALL(0, kNothingMoved, "WSAIsBlocking() returned %s",
                result ? "TRUE" : "FALSE");
  return result;
}
