// The records of the launcher's Windows Sockets 2 entries: lines, dumps of
// buffer lists, pending calls and their completions.
#include "entries/winsock2_record.h"

#include <stdarg.h>
#include <string.h>

#include "entries/file_read_win32.h"
#include "entries/netquill_winsock2.h"
#include "entries/winsock2_text.h"
#include "hooks/hook_common.h"
#include "platform/os.h"

namespace nq {
namespace {

// The one reading of a buffer list (WSABUF, TRANSMIT_FILE_BUFFERS' ends):
// its entries as dump pieces, into out, which has room for all of them;
// returns the bytes they hold.
size_t PutPieces(const BufferList &list, DumpPiece *out) {
  size_t total = 0;
  const unsigned char *entry = static_cast<const unsigned char *>(list.first);
  for (uint32_t i = 0; i < list.count; ++i, entry += list.stride) {
    uint32_t length;
    const void *address;
    memcpy(&length, entry, 4);
    memcpy(&address, entry + list.stride - sizeof address, sizeof address);
    out[i] = DumpPiece{address, length};
    total += length;
  }
  return total;
}

// A buffer list turned into dump pieces: on the stack for a short list,
// on the heap for a long one.
class Pieces {
 public:
  Pieces(const BufferList &list, const void *data, size_t size) {
    if (list.first == nullptr) {
      if (data != nullptr) {
        inline_[0] = DumpPiece{data, size};
        count_ = 1;
        total_ = size;
      }
      return;
    }
    DumpPiece *p = list.count <= kInline ? inline_
                                         : static_cast<DumpPiece *>(g_os.alloc(
                                               list.count * sizeof(DumpPiece)));
    if (p == nullptr) return;
    pieces_ = p;
    total_ = PutPieces(list, p);
    count_ = list.count;
  }
  ~Pieces() {
    if (pieces_ != inline_) g_os.release(pieces_);
  }
  Pieces(const Pieces &) = delete;
  Pieces &operator=(const Pieces &) = delete;

  const DumpPiece *get() const { return pieces_; }
  size_t count() const { return count_; }
  // The bytes of moved that the buffers hold.
  size_t Held(long long moved) const {
    if (moved <= 0) return 0;
    return static_cast<unsigned long long>(moved) < total_
               ? static_cast<size_t>(moved)
               : total_;
  }

 private:
  static constexpr uint32_t kInline = 16;
  DumpPiece inline_[kInline];
  DumpPiece *pieces_ = inline_;
  size_t count_ = 0;
  size_t total_ = 0;
};

// TransmitFile's bytes in the order they went out: the head buffer, the
// file's range read back (as much of it as the dump shows) and the tail
// buffer, the first moved of them (-1: all). None when the file is no disk
// file, its range does not read back whole, or the dump would read more of
// it than kMostFileBytes.
class Transmitted {
 public:
  Transmitted(const DumpPiece *buffers, const SentFile &file, long long moved,
              size_t limit) {
    uint64_t from_file = 0, size = 0;
    if (file.handle != 0) {
      if (!file.known || !DiskFileSize(file.handle, &size)) return;
      uint64_t left = size > file.offset ? size - file.offset : 0;
      from_file = file.count != 0 && file.count < left ? file.count : left;
    }
    uint64_t all = buffers[0].size + from_file + buffers[1].size;
    if (moved >= 0 && static_cast<uint64_t>(moved) < all) all = moved;
    if (all > SIZE_MAX) return;
    size_t shown = limit != 0 && limit < all ? limit : static_cast<size_t>(all);
    size_t want = 0;
    if (shown > buffers[0].size) {
      want = shown - buffers[0].size;
      if (want > from_file) want = static_cast<size_t>(from_file);
    }
    if (want > kMostFileBytes) return;
    if (want != 0) {
      read_ = g_os.alloc(want);
      if (read_ == nullptr ||
          ReadFileAt(file.handle, file.offset, read_, want) != want)
        return;
    }
    pieces_[0] = buffers[0];
    pieces_[1] = DumpPiece{read_, want};
    pieces_[2] = buffers[1];
    total_ = static_cast<size_t>(all);
  }
  ~Transmitted() {
    if (read_ != nullptr) g_os.release(read_);
  }
  Transmitted(const Transmitted &) = delete;
  Transmitted &operator=(const Transmitted &) = delete;

  const DumpPiece *get() const { return pieces_; }
  size_t total() const { return total_; }  // 0: nothing to dump

 private:
  DumpPiece pieces_[3] = {};
  void *read_ = nullptr;
  size_t total_ = 0;
};

// Writes the admitted line text with the dump of held bytes of the pieces.
void WriteLine(TraceContext *ctx, const Admission &a, const DumpPiece *pieces,
               size_t n, size_t held, const char *text) {
  DumpOf dump = {pieces, n, held};
  NQ_CALL_RECORD(ctx, a, held != 0 ? &dump : nullptr, "%s", text);
}

// The addresses of an accepted connection, as GetAcceptExSockaddrs reads
// them from AcceptEx's buffer: the socket provider's own, asked of the
// listening socket once (Wine's mswsock.dll export of it leaves them
// unread), else mswsock.dll's.
LPFN_GETACCEPTEXSOCKADDRS AcceptExAddressReader(uintptr_t listener) {
  static LPFN_GETACCEPTEXSOCKADDRS reader = nullptr;
  if (reader != nullptr) return reader;
  using Ioctl =
      int(WSAAPI *)(SOCKET, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD,
                    LPWSAOVERLAPPED, LPWSAOVERLAPPED_COMPLETION_ROUTINE);
  auto ioctl =
      reinterpret_cast<Ioctl>(LoadedModuleFunction("ws2_32.dll", "WSAIoctl"));
  GUID guid = WSAID_GETACCEPTEXSOCKADDRS;
  LPFN_GETACCEPTEXSOCKADDRS found = nullptr;
  DWORD size = 0;
  if (ioctl == nullptr ||
      ioctl(static_cast<SOCKET>(listener), SIO_GET_EXTENSION_FUNCTION_POINTER,
            &guid, sizeof guid, &found, sizeof found, &size, nullptr,
            nullptr) != 0)
    found = reinterpret_cast<LPFN_GETACCEPTEXSOCKADDRS>(
        LoadedModuleFunction("mswsock.dll", "GetAcceptExSockaddrs"));
  reader = found;
  return reader;
}

void AcceptedAddresses(const PendingOp &op, char *local, char *remote) {
  LPFN_GETACCEPTEXSOCKADDRS get = AcceptExAddressReader(op.socket);
  sockaddr *l = nullptr, *r = nullptr;
  int l_length = 0, r_length = 0;
  if (get != nullptr && op.buffer != nullptr)
    get(op.buffer, op.receive_length, op.local_length, op.remote_length, &l,
        &l_length, &r, &r_length);
  AddressText(local, l, l != nullptr ? l_length : 0);
  AddressText(remote, r, r != nullptr ? r_length : 0);
}

void WriteCompletion(const char *how, PendingOp &op, bool failed,
                     long long bytes, int32_t code);

// Remembers t's call in given, or else in own. When its completion came
// first, returns the record, still the caller's to write and let go, with
// the completion in early; else null.
PendingOp *Remember(const Transfer &t, PendingOp *given, PendingOp *own,
                    Completion *early) {
  PendingOp *op = given;
  if (op == nullptr) {
    op = own;
    PendingStart(op, t.ov, t.socket, t.kind);
  }
  if (t.buffers.first != nullptr) {
    DumpPiece *p = PendingPieces(op, t.buffers.count);
    if (p != nullptr) PutPieces(t.buffers, p);
  } else if (t.data != nullptr) {
    DumpPiece *p = PendingPieces(op, 1);
    p[0] = DumpPiece{t.data, t.data_size};
  }
  if (t.file != nullptr) op->file = *t.file;
  op->kept = t.kept;
  return PendingRemember(op, early) == Remembered::kCameFirst ? op : nullptr;
}

}  // namespace

int32_t CallerCode() {
  NQ_GET_ERROR get = g_get_error.load(std::memory_order_acquire);
  return get != nullptr ? get() : 0;
}

void PlainLine(bool failed, const char *text) {
  if (!EnterCall(failed)) return;
  TraceContext *ctx = CallContext();
  Admission a = AdmitRecord(ctx, TRACE_KIND_CALL, LastError());
  TraceCall(ctx, a, nullptr, "%s", text);
  LeaveCall();
}

void TransferLine(bool failed, const Transfer &t, const char *text,
                  PendingOp *op) {
  void *kept = t.kept;  // let go here unless a remembered record takes it
  if (!EnterCall(failed)) {
    if (op != nullptr) PendingRelease(op);
    g_os.release(kept);
    return;
  }
  int32_t code = LastError();
  // A call done at once that was given nowhere to write its count (as an
  // overlapped call is told to be) has it in its OVERLAPPED, where
  // GetOverlappedResult reads it: its bytes go with its own line all the
  // same.
  const uint32_t *moved = t.moved;
  uint32_t in_overlapped = 0;
  if (!failed && moved == nullptr && t.ov != nullptr) {
    in_overlapped = static_cast<uint32_t>(
        static_cast<const OVERLAPPED *>(t.ov)->InternalHigh);
    moved = &in_overlapped;
  }
  bool counted = !failed && moved != nullptr;
  PendingOp own, *first = nullptr;
  Completion early;
  if (t.ov != nullptr) {
    if (failed && code == kSystemIoPending) {
      first = Remember(t, op, &own, &early);
      op = nullptr;
      kept = nullptr;
    } else {
      PendingForget(t.ov);
    }
  }
  if (op != nullptr) PendingRelease(op);
  TraceContext *ctx = CallContext();
  Admission a =
      AdmitRecord(ctx, TRACE_KIND_CALL, code, code == kSystemIoPending);
  Pieces pieces(t.buffers, t.data, t.data_size);
  size_t held = counted ? pieces.Held(*moved) : 0;
  if (t.file != nullptr && counted && a.dump && pieces.count() == 2) {
    Transmitted sent(pieces.get(), *t.file, -1, ctx->dump_limit);
    WriteLine(ctx, a, sent.get(), 3, sent.total(), text);
  } else {
    WriteLine(ctx, a, pieces.get(), pieces.count(), held, text);
  }
  if (first != nullptr) {
    // Dequeued by another thread before this line: written right after it.
    ctx->failed = early.failed;
    WriteCompletion(early.how, *first, early.failed, early.bytes, early.code);
    PendingRelease(first);
  }
  g_os.release(kept);
  LeaveCall();
}

namespace {

void WriteCompletion(const char *how, PendingOp &op, bool failed,
                     long long bytes, int32_t code) {
  TraceContext *ctx = CallContext();
  Admission a =
      AdmitRecord(ctx, TRACE_KIND_CALL, code, code == kSystemIoPending);
  char text[kTraceFormatSize];
  char *p = text;
  char *end = text + sizeof text;
  p += Format(p, static_cast<size_t>(end - p), "%s(%zd, 0x%zx, %s", how,
              static_cast<ptrdiff_t>(op.socket), Ptr(op.ov),
              PendingName(op.kind));
  if (op.kind == kPendingAcceptEx && !failed) {
    char local[kAddressText], remote[kAddressText];
    AcceptedAddresses(op, local, remote);
    p += Format(p, static_cast<size_t>(end - p), ", %zd, %s, %s",
                static_cast<ptrdiff_t>(op.accepted), local, remote);
  } else if (op.kind == kPendingWSARecvFrom && !failed && op.from != nullptr) {
    char from[kAddressText];
    int length = op.from_length != nullptr ? *op.from_length : 0;
    p += Format(p, static_cast<size_t>(end - p), ", %s",
                AddressText(from, op.from, length));
  }
  p += Format(p, static_cast<size_t>(end - p), ") returned %lld",
              failed ? -1LL : bytes);
  if (op.kind == kPendingGetAddrInfoExW && !failed && op.buffer != nullptr)
    AppendLookupAddresses(p, end - 2, op.buffer);
  // AcceptEx's first data block lies at the start of its buffer.
  if (op.kind == kPendingAcceptEx && op.buffer != nullptr && op.count == 0) {
    DumpPiece *piece = PendingPieces(&op, 1);
    piece[0] = DumpPiece{op.buffer, op.receive_length};
  }
  size_t total = 0;
  for (uint32_t i = 0; i < op.count; ++i) total += op.pieces[i].size;
  bool moves = op.kind != kPendingDisconnectEx && op.kind != kPendingWSAIoctl &&
               op.kind != kPendingTransmitFile;
  size_t held = 0;
  if (!failed && moves && bytes > 0)
    held = static_cast<unsigned long long>(bytes) < total
               ? static_cast<size_t>(bytes)
               : total;
  if (op.kind == kPendingTransmitFile && !failed && bytes > 0 && a.dump &&
      op.count == 2) {
    Transmitted sent(op.pieces, op.file, bytes, ctx->dump_limit);
    WriteLine(ctx, a, sent.get(), 3, sent.total(), text);
    return;
  }
  WriteLine(ctx, a, op.pieces, op.count, held, text);
}

}  // namespace

void CompletionLine(const char *how, const void *ov, bool failed,
                    long long bytes, int32_t code) {
  PendingOp op;
  Completion c = {how, failed, bytes, code};
  if (!PendingTake(ov, &op, &c)) return;
  if (EnterCall(failed)) {
    WriteCompletion(how, op, failed, bytes, code);
    LeaveCall();
  }
  PendingRelease(&op);
}

void CompletionOfCall(const char *how, const void *ov, bool ok, long long bytes,
                      const int32_t *waiting, size_t n) {
  if (ov == nullptr) return;
  if (!EnterCall(!ok)) return;
  int32_t code = LastError();
  bool under_way = false;
  for (size_t i = 0; !ok && i < n; ++i) under_way |= code == waiting[i];
  PendingOp op;
  Completion c = {how, !ok, bytes, code};
  if (!under_way && PendingTake(ov, &op, &c)) {
    WriteCompletion(how, op, !ok, bytes, code);
    PendingRelease(&op);
  }
  LeaveCall();
}

}  // namespace nq
