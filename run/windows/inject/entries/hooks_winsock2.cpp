// netquill-run.exe's entries for the calls of Windows Sockets 2, of
// mswsock.dll, and for the Windows Sockets 1.1 calls whose addresses it
// reads by family. Each formats its line only when some thread traces;
// the completions of overlapped calls are in hooks_completion.cpp.
#include "entries/file_read_win32.h"
#include "entries/netquill_winsock2.h"
#include "entries/winsock2_record.h"
#include "entries/winsock2_text.h"
#include "hooks/hook_common.h"

using namespace nq;

namespace {

constexpr int32_t kFaultCode = 10014;  // WSAEFAULT: the call read nothing
constexpr size_t kText = kTraceFormatSize;

// A failed call that could not read the caller's memory: its pointers are
// not read either.
bool Refused(bool failed) { return failed && CallerCode() == kFaultCode; }

ptrdiff_t S(SOCKET s) { return static_cast<ptrdiff_t>(s); }

// An address the call read: length bytes, none when it refused them.
const char *In(char *buf, const void *addr, int length, bool failed) {
  return AddressText(buf, addr, Refused(failed) ? 0 : length);
}

// An address the call wrote: as many bytes as it says, none on failure.
const char *Out(char *buf, const void *addr, const int *length, bool failed) {
  return AddressText(buf, addr, !failed && length != nullptr ? *length : 0);
}

const char *BoolText(BOOL value) {
  return value ? "returned TRUE" : "returned FALSE";
}

BufferList Buffers(const WSABUF *buffers, DWORD count) {
  return BufferList{buffers, buffers != nullptr ? count : 0, sizeof(WSABUF)};
}

static_assert(sizeof(DWORD) == sizeof(uint32_t), "counts are 32 bits");

const uint32_t *Count(const DWORD *count) {
  return reinterpret_cast<const uint32_t *>(count);
}

// The "(name)" of a control code, or its number.
const char *CodeText(char *buf, uint32_t code) {
  const char *name = ControlCodeName(code);
  if (name != nullptr) return name;
  Format(buf, 16, "0x%x", code);
  return buf;
}

}  // namespace

// Windows Sockets 1.1, addresses by family.

SOCKET NQ_CALL NQW_accept(SOCKET result, SOCKET s, struct sockaddr *addr,
                          int *addrlen) {
  if (NobodyTraces()) return result;
  bool failed = result == INVALID_SOCKET;
  char a[kAddressText], text[kText];
  Format(text, sizeof text, "accept(%zd, %s, 0x%zx) %s", S(s),
         Out(a, addr, addrlen, failed || Refused(failed)), Ptr(addrlen),
         FormatSocketResult(result));
  PlainLine(failed, text);
  return result;
}

// A call that reads the address it is given.
static int AddressCall(const char *call, int result, SOCKET s,
                       const struct sockaddr *name, int namelen) {
  char a[kAddressText], text[kText];
  Format(text, sizeof text, "%s(%zd, %s, %d) %s", call, S(s),
         In(a, name, namelen, result != 0), namelen, FormatIntResult(result));
  PlainLine(result != 0, text);
  return result;
}

int NQ_CALL NQW_bind(int result, SOCKET s, const struct sockaddr *name,
                     int namelen) {
  if (NobodyTraces()) return result;
  return AddressCall("bind", result, s, name, namelen);
}

int NQ_CALL NQW_connect(int result, SOCKET s, const struct sockaddr *name,
                        int namelen) {
  if (NobodyTraces()) return result;
  return AddressCall("connect", result, s, name, namelen);
}

static int NameCall(const char *call, int result, SOCKET s,
                    struct sockaddr *name, int *namelen) {
  char a[kAddressText], text[kText];
  Format(text, sizeof text, "%s(%zd, %s, 0x%zx) %s", call, S(s),
         Out(a, name, namelen, result != 0), Ptr(namelen),
         FormatIntResult(result));
  PlainLine(result != 0, text);
  return result;
}

int NQ_CALL NQW_getpeername(int result, SOCKET s, struct sockaddr *name,
                            int *namelen) {
  if (NobodyTraces()) return result;
  return NameCall("getpeername", result, s, name, namelen);
}

int NQ_CALL NQW_getsockname(int result, SOCKET s, struct sockaddr *name,
                            int *namelen) {
  if (NobodyTraces()) return result;
  return NameCall("getsockname", result, s, name, namelen);
}

// getsockopt(SO_ERROR) shows the code it returned: the reason a
// non-blocking connect failed.
int NQ_CALL NQW_getsockopt(int result, SOCKET s, int level, int optname,
                           char *optval, int *optlen) {
  if (NobodyTraces()) return result;
  char text[kText];
  size_t n = Format(text, sizeof text,
                    "getsockopt(%zd, %d, %d, 0x%zx, 0x%zx) %s", S(s), level,
                    optname, Ptr(optval), Ptr(optlen), FormatIntResult(result));
  if (result == 0 && level == SOL_SOCKET && optname == SO_ERROR &&
      optval != nullptr && optlen != nullptr && *optlen >= 4) {
    int value;
    memcpy(&value, optval, sizeof value);
    Format(text + n, sizeof text - n, " (SO_ERROR %d)", value);
  }
  PlainLine(result != 0, text);
  return result;
}

int NQ_CALL NQW_ioctlsocket(int result, SOCKET s, long cmd, u_long *argp) {
  if (NobodyTraces()) return result;
  char code[16], text[kText];
  Format(text, sizeof text, "ioctlsocket(%zd, %s, 0x%zx) %s", S(s),
         CodeText(code, static_cast<uint32_t>(cmd)), Ptr(argp),
         FormatIntResult(result));
  PlainLine(result != 0, text);
  return result;
}

// The line and dump of recvfrom or sendto, which move one buffer at once.
static int DatagramLine(PendingKind kind, int result, SOCKET s, const char *buf,
                        int len, const char *text) {
  bool failed = result == SOCKET_ERROR;
  uint32_t moved = failed ? 0 : static_cast<uint32_t>(result);
  Transfer t = {kind,
                s,
                nullptr,
                BufferList{},
                buf,
                len > 0 ? static_cast<size_t>(len) : 0,
                failed ? nullptr : &moved};
  TransferLine(failed, t, text);
  return result;
}

int NQ_CALL NQW_recvfrom(int result, SOCKET s, char *buf, int len, int flags,
                         struct sockaddr *from, int *fromlen) {
  if (NobodyTraces()) return result;
  bool failed = result == SOCKET_ERROR;
  char a[kAddressText], text[kText];
  Format(text, sizeof text, "recvfrom(%zd, 0x%zx, %d, %d, %s, 0x%zx) %s", S(s),
         Ptr(buf), len, flags, Out(a, from, fromlen, failed), Ptr(fromlen),
         FormatIntResult(result));
  return DatagramLine(kPendingWSARecvFrom, result, s, buf, len, text);
}

int NQ_CALL NQW_sendto(int result, SOCKET s, const char *buf, int len,
                       int flags, const struct sockaddr *to, int tolen) {
  if (NobodyTraces()) return result;
  bool failed = result == SOCKET_ERROR;
  char a[kAddressText], text[kText];
  Format(text, sizeof text, "sendto(%zd, 0x%zx, %d, %d, %s, %d) %s", S(s),
         Ptr(buf), len, flags, In(a, to, tolen, failed), tolen,
         FormatIntResult(result));
  return DatagramLine(kPendingWSASendTo, result, s, buf, len, text);
}

// Sockets and connections.

static SOCKET SocketCall(const char *call, SOCKET result, int af, int type,
                         int protocol, const void *info, GROUP g, DWORD flags) {
  char text[kText];
  Format(text, sizeof text, "%s(%d, %d, %d, 0x%zx, %u, 0x%x) %s", call, af,
         type, protocol, Ptr(info), static_cast<unsigned>(g),
         static_cast<unsigned>(flags), FormatSocketResult(result));
  PlainLine(result == INVALID_SOCKET, text);
  return result;
}

SOCKET NQ_CALL NQW_WSASocketA(SOCKET result, int af, int type, int protocol,
                              LPWSAPROTOCOL_INFOA info, GROUP g, DWORD flags) {
  if (NobodyTraces()) return result;
  return SocketCall("WSASocketA", result, af, type, protocol, info, g, flags);
}

SOCKET NQ_CALL NQW_WSASocketW(SOCKET result, int af, int type, int protocol,
                              LPWSAPROTOCOL_INFOW info, GROUP g, DWORD flags) {
  if (NobodyTraces()) return result;
  return SocketCall("WSASocketW", result, af, type, protocol, info, g, flags);
}

SOCKET NQ_CALL NQW_WSAAccept(SOCKET result, SOCKET s, struct sockaddr *addr,
                             LPINT addrlen, LPCONDITIONPROC condition,
                             DWORD_PTR callback_data) {
  if (NobodyTraces()) return result;
  bool failed = result == INVALID_SOCKET;
  char a[kAddressText], text[kText];
  Format(text, sizeof text, "WSAAccept(%zd, %s, 0x%zx, 0x%zx, 0x%zx) %s", S(s),
         Out(a, addr, addrlen, failed || Refused(failed)), Ptr(addrlen),
         Ptr(condition), static_cast<size_t>(callback_data),
         FormatSocketResult(result));
  PlainLine(failed, text);
  return result;
}

int NQ_CALL NQW_WSAConnect(int result, SOCKET s, const struct sockaddr *name,
                           int namelen, LPWSABUF caller_data,
                           LPWSABUF callee_data, LPQOS sqos, LPQOS gqos) {
  if (NobodyTraces()) return result;
  char a[kAddressText], text[kText];
  Format(text, sizeof text,
         "WSAConnect(%zd, %s, %d, 0x%zx, 0x%zx, 0x%zx, 0x%zx) %s", S(s),
         In(a, name, namelen, result != 0), namelen, Ptr(caller_data),
         Ptr(callee_data), Ptr(sqos), Ptr(gqos), FormatIntResult(result));
  PlainLine(result != 0, text);
  return result;
}

BOOL NQ_CALL NQW_AcceptEx(BOOL result, SOCKET listen_socket,
                          SOCKET accept_socket, PVOID buffer,
                          DWORD receive_length, DWORD local_length,
                          DWORD remote_length, LPDWORD received,
                          LPOVERLAPPED ov) {
  if (NobodyTraces()) return result;
  char text[kText];
  Format(text, sizeof text,
         "AcceptEx(%zd, %zd, 0x%zx, %u, %u, %u, 0x%zx, 0x%zx) %s",
         S(listen_socket), S(accept_socket), Ptr(buffer),
         static_cast<unsigned>(receive_length),
         static_cast<unsigned>(local_length),
         static_cast<unsigned>(remote_length), Ptr(received), Ptr(ov),
         BoolText(result));
  PendingOp op;
  PendingStart(&op, ov, listen_socket, kPendingAcceptEx);
  op.accepted = accept_socket;
  op.buffer = buffer;
  op.receive_length = receive_length;
  op.local_length = local_length;
  op.remote_length = remote_length;
  Transfer t = {kPendingAcceptEx,
                listen_socket,
                ov,
                BufferList{},
                buffer,
                receive_length,
                result ? Count(received) : nullptr};
  TransferLine(!result, t, text, &op);
  return result;
}

BOOL NQ_CALL NQW_ConnectEx(BOOL result, SOCKET s, const struct sockaddr *name,
                           int namelen, PVOID send_buffer, DWORD send_length,
                           LPDWORD sent, LPOVERLAPPED ov) {
  if (NobodyTraces()) return result;
  char a[kAddressText], text[kText];
  Format(
      text, sizeof text, "ConnectEx(%zd, %s, %d, 0x%zx, %u, 0x%zx, 0x%zx) %s",
      S(s), In(a, name, namelen, !result), namelen, Ptr(send_buffer),
      static_cast<unsigned>(send_length), Ptr(sent), Ptr(ov), BoolText(result));
  Transfer t = {kPendingConnectEx,
                s,
                ov,
                BufferList{},
                send_buffer,
                send_buffer != nullptr ? send_length : 0,
                result ? Count(sent) : nullptr};
  TransferLine(!result, t, text);
  return result;
}

BOOL NQ_CALL NQW_DisconnectEx(BOOL result, SOCKET s, LPOVERLAPPED ov,
                              DWORD flags, DWORD reserved) {
  if (NobodyTraces()) return result;
  char text[kText];
  Format(text, sizeof text, "DisconnectEx(%zd, 0x%zx, 0x%x, %u) %s", S(s),
         Ptr(ov), static_cast<unsigned>(flags), static_cast<unsigned>(reserved),
         BoolText(result));
  static const uint32_t kNone = 0;
  Transfer t = {kPendingDisconnectEx,     s, ov, BufferList{}, nullptr, 0,
                result ? &kNone : nullptr};
  TransferLine(!result, t, text);
  return result;
}

// The bytes go out as the head buffer, the file's and the tail buffer, and
// are dumped so: the file's read back from the range the call sent, which
// starts at the OVERLAPPED's offset, or else at the position the file had
// before the call (given by the launcher's relay: the call moves it).
static BOOL TransmitLine(BOOL result, SOCKET s, HANDLE file, DWORD write_count,
                         DWORD per_send, LPOVERLAPPED ov,
                         LPTRANSMIT_FILE_BUFFERS buffers, DWORD flags,
                         const LARGE_INTEGER *position) {
  char text[kText];
  Format(text, sizeof text,
         "TransmitFile(%zd, 0x%zx, %u, %u, 0x%zx, 0x%zx, 0x%x) %s", S(s),
         Ptr(file), static_cast<unsigned>(write_count),
         static_cast<unsigned>(per_send), Ptr(ov), Ptr(buffers),
         static_cast<unsigned>(flags), BoolText(result));
  WSABUF ends[2] = {};
  if (buffers != nullptr) {
    ends[0] = WSABUF{buffers->HeadLength, static_cast<char *>(buffers->Head)};
    ends[1] = WSABUF{buffers->TailLength, static_cast<char *>(buffers->Tail)};
  }
  SentFile sent = {reinterpret_cast<uintptr_t>(file), 0, write_count, true};
  if (ov != nullptr)
    sent.offset = static_cast<uint64_t>(ov->OffsetHigh) << 32 | ov->Offset;
  else if (position != nullptr)
    sent.offset = static_cast<uint64_t>(position->QuadPart);
  else
    sent.known = false;
  static const uint32_t kNone = 0;
  Transfer t = {kPendingTransmitFile,      s,       ov,
                Buffers(ends, 2),          nullptr, 0,
                result ? &kNone : nullptr, &sent};
  TransferLine(!result, t, text);
  return result;
}

BOOL NQ_CALL NQW_TransmitFile(BOOL result, SOCKET s, HANDLE file,
                              DWORD write_count, DWORD per_send,
                              LPOVERLAPPED ov, LPTRANSMIT_FILE_BUFFERS buffers,
                              DWORD flags) {
  if (NobodyTraces()) return result;
  return TransmitLine(result, s, file, write_count, per_send, ov, buffers,
                      flags, nullptr);
}

BOOL NQ_CALL NQW_TransmitFileFrom(BOOL result, SOCKET s, HANDLE file,
                                  DWORD write_count, DWORD per_send,
                                  LPOVERLAPPED ov,
                                  LPTRANSMIT_FILE_BUFFERS buffers, DWORD flags,
                                  const LARGE_INTEGER *position) {
  if (NobodyTraces()) return result;
  return TransmitLine(result, s, file, write_count, per_send, ov, buffers,
                      flags, position);
}

// Data.

static int SendRecv(const char *call, PendingKind kind, int result, SOCKET s,
                    LPWSABUF buffers, DWORD count, LPDWORD moved,
                    const char *flags_text, const char *address,
                    LPWSAOVERLAPPED ov, void *routine, PendingOp *op) {
  bool failed = result == SOCKET_ERROR;
  char text[kText];
  Format(text, sizeof text,
         "%s(%zd, 0x%zx, %u, 0x%zx, %s%s%s, 0x%zx, 0x%zx) %s", call, S(s),
         Ptr(buffers), static_cast<unsigned>(count), Ptr(moved), flags_text,
         address != nullptr ? ", " : "", address != nullptr ? address : "",
         Ptr(ov), Ptr(routine), FormatIntResult(result));
  Transfer t = {kind,
                s,
                ov,
                Buffers(buffers, count),
                nullptr,
                0,
                failed ? nullptr : Count(moved)};
  TransferLine(failed, t, text, op);
  return result;
}

int NQ_CALL NQW_WSASend(int result, SOCKET s, LPWSABUF buffers, DWORD count,
                        LPDWORD sent, DWORD flags, LPWSAOVERLAPPED ov,
                        LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
  if (NobodyTraces()) return result;
  char f[16];
  Format(f, sizeof f, "%u", static_cast<unsigned>(flags));
  return SendRecv("WSASend", kPendingWSASend, result, s, buffers, count, sent,
                  f, nullptr, ov, reinterpret_cast<void *>(routine), nullptr);
}

int NQ_CALL NQW_WSASendTo(int result, SOCKET s, LPWSABUF buffers, DWORD count,
                          LPDWORD sent, DWORD flags, const struct sockaddr *to,
                          int tolen, LPWSAOVERLAPPED ov,
                          LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
  if (NobodyTraces()) return result;
  char f[16], a[kAddressText + 16];
  Format(f, sizeof f, "%u", static_cast<unsigned>(flags));
  char address[kAddressText];
  Format(a, sizeof a, "%s, %d", In(address, to, tolen, result == SOCKET_ERROR),
         tolen);
  return SendRecv("WSASendTo", kPendingWSASendTo, result, s, buffers, count,
                  sent, f, a, ov, reinterpret_cast<void *>(routine), nullptr);
}

int NQ_CALL NQW_WSARecv(int result, SOCKET s, LPWSABUF buffers, DWORD count,
                        LPDWORD received, LPDWORD flags, LPWSAOVERLAPPED ov,
                        LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
  if (NobodyTraces()) return result;
  char f[24];
  Format(f, sizeof f, "0x%zx", Ptr(flags));
  return SendRecv("WSARecv", kPendingWSARecv, result, s, buffers, count,
                  received, f, nullptr, ov, reinterpret_cast<void *>(routine),
                  nullptr);
}

int NQ_CALL NQW_WSARecvFrom(int result, SOCKET s, LPWSABUF buffers, DWORD count,
                            LPDWORD received, LPDWORD flags,
                            struct sockaddr *from, LPINT fromlen,
                            LPWSAOVERLAPPED ov,
                            LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
  if (NobodyTraces()) return result;
  char f[24], a[kAddressText + 24], address[kAddressText];
  Format(f, sizeof f, "0x%zx", Ptr(flags));
  Format(a, sizeof a, "%s, 0x%zx",
         Out(address, from, fromlen, result == SOCKET_ERROR), Ptr(fromlen));
  PendingOp op;
  PendingStart(&op, ov, s, kPendingWSARecvFrom);
  op.from = from;
  op.from_length = fromlen;
  return SendRecv("WSARecvFrom", kPendingWSARecvFrom, result, s, buffers, count,
                  received, f, a, ov, reinterpret_cast<void *>(routine), &op);
}

static int MessageCall(const char *call, PendingKind kind, int result, SOCKET s,
                       LPWSAMSG msg, const char *flags_text, LPDWORD moved,
                       LPWSAOVERLAPPED ov, void *routine) {
  bool failed = result == SOCKET_ERROR;
  bool readable = msg != nullptr && !Refused(failed);
  bool sending = kind == kPendingWSASendMsg;
  char a[kAddressText], text[kText];
  const char *address = "NULL";
  if (readable)
    address = sending ? In(a, msg->name, msg->namelen, failed)
                      : Out(a, msg->name, &msg->namelen, failed);
  Format(text, sizeof text, "%s(%zd, 0x%zx, %s, %s0x%zx, 0x%zx, 0x%zx) %s",
         call, S(s), Ptr(msg), address, flags_text, Ptr(moved), Ptr(ov),
         Ptr(routine), FormatIntResult(result));
  Transfer t = {
      kind,
      s,
      ov,
      readable ? Buffers(msg->lpBuffers, msg->dwBufferCount) : BufferList{},
      nullptr,
      0,
      failed ? nullptr : Count(moved)};
  TransferLine(failed, t, text);
  return result;
}

int NQ_CALL NQW_WSASendMsg(int result, SOCKET s, LPWSAMSG msg, DWORD flags,
                           LPDWORD sent, LPWSAOVERLAPPED ov,
                           LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
  if (NobodyTraces()) return result;
  char f[16];
  Format(f, sizeof f, "%u, ", static_cast<unsigned>(flags));
  return MessageCall("WSASendMsg", kPendingWSASendMsg, result, s, msg, f, sent,
                     ov, reinterpret_cast<void *>(routine));
}

int NQ_CALL NQW_WSARecvMsg(int result, SOCKET s, LPWSAMSG msg, LPDWORD received,
                           LPWSAOVERLAPPED ov,
                           LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
  if (NobodyTraces()) return result;
  return MessageCall("WSARecvMsg", kPendingWSARecvMsg, result, s, msg, "",
                     received, ov, reinterpret_cast<void *>(routine));
}

// Control and waits.

int NQ_CALL NQW_WSAIoctl(int result, SOCKET s, DWORD code, LPVOID in,
                         DWORD in_length, LPVOID out, DWORD out_length,
                         LPDWORD returned, LPWSAOVERLAPPED ov,
                         LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
  if (NobodyTraces()) return result;
  char c[16], input[24], text[kText];
  // The extension function asked for, by name.
  const char *name = nullptr;
  if (code == SIO_GET_EXTENSION_FUNCTION_POINTER && in_length >= 16 &&
      !Refused(result != 0))
    name = ExtensionName(in);
  if (name == nullptr) Format(input, sizeof input, "0x%zx", Ptr(in));
  Format(text, sizeof text,
         "WSAIoctl(%zd, %s, %s, %u, 0x%zx, %u, 0x%zx, 0x%zx, 0x%zx) %s", S(s),
         CodeText(c, code), name != nullptr ? name : input,
         static_cast<unsigned>(in_length), Ptr(out),
         static_cast<unsigned>(out_length), Ptr(returned), Ptr(ov),
         Ptr(routine), FormatIntResult(result));
  if (ov != nullptr) {
    static const uint32_t kNone = 0;
    Transfer t = {kPendingWSAIoctl,
                  s,
                  ov,
                  BufferList{},
                  nullptr,
                  0,
                  result == 0 ? &kNone : nullptr};
    TransferLine(result != 0, t, text);
  } else {
    PlainLine(result != 0, text);
  }
  return result;
}

// Each descriptor with the events asked for and those returned:
//   WSAPoll(0x22fe00, 2, 1000) returned 1 (316 POLLIN/POLLIN, 320 POLLOUT/0)
int NQ_CALL NQW_WSAPoll(int result, LPWSAPOLLFD fds, ULONG count, INT timeout) {
  if (NobodyTraces()) return result;
  char text[kText];
  char *end = text + sizeof text - 2;  // room for ')' and the terminator
  char *p = text;
  p += Format(p, static_cast<size_t>(end - p), "WSAPoll(0x%zx, %u, %d) %s",
              Ptr(fds), static_cast<unsigned>(count), timeout,
              FormatIntResult(result));
  bool listed = result != SOCKET_ERROR && fds != nullptr && count != 0;
  for (ULONG i = 0; listed && i < count && p < end; ++i) {
    char asked[96], got[96];
    FlagsText(asked, sizeof asked, static_cast<uint16_t>(fds[i].events),
              kPollEvents, kPollEventCount);
    FlagsText(got, sizeof got, static_cast<uint16_t>(fds[i].revents),
              kPollEvents, kPollEventCount);
    p += Format(p, static_cast<size_t>(end - p), "%s%zd %s/%s",
                i == 0 ? " (" : ", ", S(fds[i].fd), asked, got);
  }
  if (listed) {
    *p++ = ')';
    *p = '\0';
  }
  PlainLine(result == SOCKET_ERROR, text);
  return result;
}

int NQ_CALL NQW_WSAEventSelect(int result, SOCKET s, WSAEVENT event,
                               long events) {
  if (NobodyTraces()) return result;
  char names[256], text[kText];
  Format(text, sizeof text, "WSAEventSelect(%zd, 0x%zx, %s) %s", S(s),
         Ptr(event),
         FlagsText(names, sizeof names, static_cast<uint32_t>(events),
                   kNetworkEvents, kNetworkEventCount),
         FormatIntResult(result));
  PlainLine(result != 0, text);
  return result;
}

// The events that occurred, each with its error code:
//   WSAEnumNetworkEvents(316, 0x1c, 0x22fe00) returned 0 (FD_CONNECT 10061)
int NQ_CALL NQW_WSAEnumNetworkEvents(int result, SOCKET s, WSAEVENT event,
                                     LPWSANETWORKEVENTS events) {
  if (NobodyTraces()) return result;
  char text[kText];
  char *end = text + sizeof text - 2;
  char *p = text;
  p += Format(p, static_cast<size_t>(end - p),
              "WSAEnumNetworkEvents(%zd, 0x%zx, 0x%zx) %s", S(s), Ptr(event),
              Ptr(events), FormatIntResult(result));
  if (result == 0 && events != nullptr) {
    bool any = false;
    for (int bit = 0; bit < FD_MAX_EVENTS; ++bit) {
      if ((events->lNetworkEvents & (1L << bit)) == 0) continue;
      p += Format(p, static_cast<size_t>(end - p), "%s%s %d", any ? ", " : " (",
                  kNetworkEvents[bit].name, events->iErrorCode[bit]);
      any = true;
    }
    if (any) {
      *p++ = ')';
      *p = '\0';
    }
  }
  PlainLine(result != 0, text);
  return result;
}

DWORD NQ_CALL NQW_WSAWaitForMultipleEvents(DWORD result, DWORD count,
                                           const WSAEVENT *events,
                                           BOOL wait_all, DWORD timeout,
                                           BOOL alertable) {
  if (NobodyTraces()) return result;
  char returned[40], text[kText];
  if (result == WSA_WAIT_TIMEOUT)
    strcpy(returned, "returned WSA_WAIT_TIMEOUT");
  else if (result == WSA_WAIT_IO_COMPLETION)
    strcpy(returned, "returned WSA_WAIT_IO_COMPLETION");
  else if (result == WSA_WAIT_FAILED)
    strcpy(returned, "returned WSA_WAIT_FAILED");
  else
    Format(returned, sizeof returned, "returned %u",
           static_cast<unsigned>(result));
  Format(text, sizeof text,
         "WSAWaitForMultipleEvents(%u, 0x%zx, %s, %d, %s) %s",
         static_cast<unsigned>(count), Ptr(events), wait_all ? "TRUE" : "FALSE",
         static_cast<int>(timeout), alertable ? "TRUE" : "FALSE", returned);
  PlainLine(result == WSA_WAIT_FAILED, text);
  return result;
}

// Connections by name or by a list of addresses.

// The local and the remote address the call wrote (each "NULL" when not
// asked for), then the result, after the text of what was asked.
static BOOL ConnectedLine(const char *call, BOOL result, SOCKET s,
                          const char *asked, const DWORD *local_length,
                          const sockaddr *local, const DWORD *remote_length,
                          const sockaddr *remote) {
  char l[kAddressText], r[kAddressText], text[kText];
  Format(text, sizeof text, "%s(%zd, %s, %s, %s) %s", call, S(s), asked,
         Out(l, local, reinterpret_cast<const int *>(local_length), !result),
         Out(r, remote, reinterpret_cast<const int *>(remote_length), !result),
         BoolText(result));
  PlainLine(!result, text);
  return result;
}

//   WSAConnectByNameW(316, "localhost", "7000", 127.0.0.1:51544,
//   127.0.0.1:7000) returned TRUE
// One function for both spellings of the names, narrow or wide.
static BOOL ConnectByName(const char *call, bool wide, BOOL result, SOCKET s,
                          const void *node, const void *service,
                          LPDWORD local_length, LPSOCKADDR local,
                          LPDWORD remote_length, LPSOCKADDR remote) {
  char asked[kText / 2];
  char *p = asked, *end = asked + sizeof asked;
  if (Refused(!result)) node = service = nullptr;
  const void *names[2] = {node, service};
  for (const void *name : names) {
    if (p != asked) p += Format(p, size_t(end - p), ", ");
    p = wide ? PutQuotedWide(p, size_t(end - p),
                             static_cast<const wchar_t *>(name))
             : PutQuotedNarrow(p, size_t(end - p),
                               static_cast<const char *>(name));
  }
  return ConnectedLine(call, result, s, asked, local_length, local,
                       remote_length, remote);
}

BOOL NQ_CALL NQW_WSAConnectByNameA(BOOL result, SOCKET s, LPCSTR node,
                                   LPCSTR service, LPDWORD local_length,
                                   LPSOCKADDR local, LPDWORD remote_length,
                                   LPSOCKADDR remote,
                                   const struct timeval *timeout,
                                   LPWSAOVERLAPPED reserved) {
  (void)timeout, (void)reserved;
  if (NobodyTraces()) return result;
  return ConnectByName("WSAConnectByNameA", false, result, s, node, service,
                       local_length, local, remote_length, remote);
}

BOOL NQ_CALL NQW_WSAConnectByNameW(BOOL result, SOCKET s, LPWSTR node,
                                   LPWSTR service, LPDWORD local_length,
                                   LPSOCKADDR local, LPDWORD remote_length,
                                   LPSOCKADDR remote,
                                   const struct timeval *timeout,
                                   LPWSAOVERLAPPED reserved) {
  (void)timeout, (void)reserved;
  if (NobodyTraces()) return result;
  return ConnectByName("WSAConnectByNameW", true, result, s, node, service,
                       local_length, local, remote_length, remote);
}

// The list's addresses in brackets, one argument:
//   WSAConnectByList(316, [127.0.0.1:7000, [::1]:7000], ...)
BOOL NQ_CALL NQW_WSAConnectByList(BOOL result, SOCKET s,
                                  PSOCKET_ADDRESS_LIST list,
                                  LPDWORD local_length, LPSOCKADDR local,
                                  LPDWORD remote_length, LPSOCKADDR remote,
                                  const struct timeval *timeout,
                                  LPWSAOVERLAPPED reserved) {
  (void)timeout, (void)reserved;
  if (NobodyTraces()) return result;
  char asked[kText / 2];
  char *p = asked, *end = asked + sizeof asked - 2;  // room for ']'
  if (list == nullptr || Refused(!result)) {
    strcpy(asked, "NULL");
  } else {
    *p++ = '[';
    *p = '\0';
    for (INT i = 0; i < list->iAddressCount && p < end; ++i) {
      char a[kAddressText];
      p += Format(p, size_t(end - p), "%s%s", i == 0 ? "" : ", ",
                  AddressText(a, list->Address[i].lpSockaddr,
                              list->Address[i].iSockaddrLength));
    }
    *p++ = ']';
    *p = '\0';
  }
  return ConnectedLine("WSAConnectByList", result, s, asked, local_length,
                       local, remote_length, remote);
}

// A file element's range: from its offset, its length or up to the file's
// end; false when the handle is no disk file.
static bool FileElementLength(const TRANSMIT_PACKETS_ELEMENT &e,
                              uint64_t *length) {
  uint64_t size;
  if (!DiskFileSize(reinterpret_cast<uintptr_t>(e.hFile), &size)) return false;
  uint64_t from = static_cast<uint64_t>(e.nFileOffset.QuadPart);
  uint64_t left = size > from ? size - from : 0;
  *length = e.cLength != 0 && e.cLength < left ? e.cLength : left;
  return true;
}

// TransmitPackets: its elements' bytes in one dump, as sent, the file
// elements' read back at issue from the ranges they name (a call whose
// files cannot all be read back has no dump: none is made up); the counts
// of its elements after the result (bytes: of the memory elements):
//   TransmitPackets(316, 0x6ff000, 3, 0, 0x0, 0x0) returned TRUE
//   (buffers 2, bytes 11, files 1)
BOOL NQ_CALL NQW_TransmitPackets(BOOL result, SOCKET s,
                                 LPTRANSMIT_PACKETS_ELEMENT elements,
                                 DWORD count, DWORD send_size, LPOVERLAPPED ov,
                                 DWORD flags) {
  if (NobodyTraces()) return result;
  DWORD read = elements == nullptr || Refused(!result) ? 0 : count;
  uint64_t from_files = 0;
  bool readable = true;
  for (DWORD i = 0; i < read; ++i) {
    uint64_t length = 0;
    if (elements[i].dwElFlags & TP_ELEMENT_FILE)
      readable = readable && FileElementLength(elements[i], &length);
    from_files += length;
  }
  char *file_bytes = nullptr;
  if (!readable || from_files > kMostFileBytes ||
      (from_files != 0 && (file_bytes = static_cast<char *>(g_os.alloc(
                               static_cast<size_t>(from_files)))) == nullptr))
    readable = false;
  // The elements as a WSABUF list, which the dump and a pending record
  // read (the record copies it).
  WSABUF near_list[16];
  WSABUF *list = near_list;
  if (read > 16 && (list = static_cast<WSABUF *>(
                        g_os.alloc(read * sizeof(WSABUF)))) == nullptr)
    read = 0;  // no memory for the list: the line alone
  uint32_t buffers = 0, memory = 0, files = 0, bytes = 0, sent = 0;
  char *at = file_bytes;
  for (DWORD i = 0; i < read; ++i) {
    const TRANSMIT_PACKETS_ELEMENT &e = elements[i];
    uint64_t length;
    if (e.dwElFlags & TP_ELEMENT_MEMORY) {
      list[buffers++] = WSABUF{e.cLength, static_cast<char *>(e.pBuffer)};
      ++memory;
      bytes += e.cLength;
      sent += e.cLength;
    } else if (e.dwElFlags & TP_ELEMENT_FILE) {
      ++files;
      if (!readable || !FileElementLength(e, &length) ||
          ReadFileAt(reinterpret_cast<uintptr_t>(e.hFile),
                     static_cast<uint64_t>(e.nFileOffset.QuadPart), at,
                     static_cast<size_t>(length)) != length) {
        readable = false;
        continue;
      }
      list[buffers++] = WSABUF{static_cast<ULONG>(length), at};
      at += length;
      sent += static_cast<uint32_t>(length);
    }
  }
  uint32_t dumped = readable ? buffers : 0;
  char text[kText];
  Format(text, sizeof text,
         "TransmitPackets(%zd, 0x%zx, %u, %u, 0x%zx, 0x%x) %s (buffers %u, "
         "bytes %u, files %u)",
         S(s), Ptr(elements), static_cast<unsigned>(count),
         static_cast<unsigned>(send_size), Ptr(ov),
         static_cast<unsigned>(flags), BoolText(result), memory, bytes, files);
  Transfer t = {kPendingTransmitPackets,
                s,
                ov,
                Buffers(dumped != 0 ? list : nullptr, dumped),
                nullptr,
                0,
                result ? &sent : nullptr};
  t.kept = file_bytes;
  TransferLine(!result, t, text);
  if (list != near_list && list != nullptr) g_os.release(list);
  return result;
}
