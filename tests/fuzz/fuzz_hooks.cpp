// Any of the 36 hooks with arguments built from the fuzzer's bytes, as a
// real caller would pass them: results of every value, buffers and the
// lengths that describe them, strings of any length or none, structures
// with odd contents. Memory that a hook must never read (length pointers,
// option values, socket sets, the buffers of the asynchronous calls) is the
// caller's own but poisoned where AddressSanitizer is on. Each hook must
// return its result, hand back the error code once, leave errno alone, and
// write its line under its own name and tag, then exactly the bytes moved.
#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "core/context.h"
#include "fuzz_input.h"
#include "fuzz_sink.h"
#include "netquill.h"
#include "netquill_calls.h"
#include "platform/os.h"

#if defined(__SANITIZE_ADDRESS__)
#define NQ_FUZZ_POISON 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NQ_FUZZ_POISON 1
#endif
#endif
#if defined(NQ_FUZZ_POISON)
#include <sanitizer/asan_interface.h>
#endif

#ifndef NQ_FUZZ_ENTRY
#define NQ_FUZZ_ENTRY LLVMFuzzerTestOneInput
#endif

namespace {

constexpr size_t kLongestText = 1500;  // past the 1023 of a line
constexpr size_t kLargestBuffer = 600;
constexpr int kSystemError = 7777;

// The memory one call's arguments point into, owned by the target.
class Owned {
 public:
  ~Owned() {
    for (auto &b : poisoned_) Unpoison(b->data(), b->size());
  }

  uint8_t *Block(const std::vector<uint8_t> &bytes, size_t at_least = 1) {
    blocks_.emplace_back(new std::vector<uint8_t>(bytes));
    if (blocks_.back()->size() < at_least) blocks_.back()->resize(at_least);
    return blocks_.back()->data();
  }

  // A block the hook is given but must never read.
  template <typename T>
  T *Untouchable() {
    uint8_t *p = Block({}, 64);
    poisoned_.push_back(blocks_.back().get());
    Poison(p, 64);
    return reinterpret_cast<T *>(p);
  }

  // A string of any length, or none.
  const char *String(nqfuzz::Input *in) {
    if (in->U8() % 8 == 0) return nullptr;
    std::string text = in->Text(kLongestText);
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return reinterpret_cast<const char *>(Block(bytes));
  }

  template <typename T>
  T *Struct(nqfuzz::Input *in) {
    if (in->U8() % 8 == 0) return nullptr;
    std::vector<uint8_t> raw(sizeof(T));
    for (uint8_t &b : raw) b = in->U8();
    return reinterpret_cast<T *>(Block(raw));
  }

  // A socket address given with its length by value: the block holds as
  // many bytes as the length claims (up to a sockaddr_storage), as the
  // socket call itself would read them, and not one more.
  struct sockaddr *Address(nqfuzz::Input *in, NQ_SOCKLEN length) {
    if (in->U8() % 8 == 0) return nullptr;
    size_t size = sizeof(struct sockaddr);
    if (length > 0 && static_cast<size_t>(length) > size) {
      size = static_cast<size_t>(length) < sizeof(struct sockaddr_storage)
                 ? static_cast<size_t>(length)
                 : sizeof(struct sockaddr_storage);
    }
    std::vector<uint8_t> raw(size);
    for (uint8_t &b : raw) b = in->U8();
    return reinterpret_cast<struct sockaddr *>(Block(raw));
  }

  struct hostent *Host(nqfuzz::Input *in) {
    if (in->U8() % 4 == 0) return nullptr;
    auto *host =
        reinterpret_cast<struct hostent *>(Block({}, sizeof(struct hostent)));
    host->h_name = const_cast<char *>(String(in));
    host->h_length = static_cast<decltype(host->h_length)>(in->Below(6));
    uint32_t count = in->Below(4);
    if (count > 0) {
      auto **list =
          reinterpret_cast<char **>(Block({}, count * sizeof(char *)));
      for (uint32_t i = 0; i + 1 < count; ++i) {
        list[i] = reinterpret_cast<char *>(Block(in->Bytes(4), 4));
      }
      list[count - 1] = nullptr;
      host->h_addr_list = list;
    }
    return host;
  }

  struct servent *Serv(nqfuzz::Input *in) {
    if (in->U8() % 4 == 0) return nullptr;
    auto *serv =
        reinterpret_cast<struct servent *>(Block({}, sizeof(struct servent)));
    serv->s_name = const_cast<char *>(String(in));
    serv->s_port = static_cast<decltype(serv->s_port)>(in->U32());
    return serv;
  }

  struct protoent *Proto(nqfuzz::Input *in) {
    if (in->U8() % 4 == 0) return nullptr;
    auto *proto =
        reinterpret_cast<struct protoent *>(Block({}, sizeof(struct protoent)));
    proto->p_name = const_cast<char *>(String(in));
    proto->p_proto = static_cast<decltype(proto->p_proto)>(in->U32());
    return proto;
  }

 private:
  static void Poison(void *p, size_t n) {
#if defined(NQ_FUZZ_POISON)
    ASAN_POISON_MEMORY_REGION(p, n);
#else
    (void)p, (void)n;
#endif
  }

  static void Unpoison(void *p, size_t n) {
#if defined(NQ_FUZZ_POISON)
    ASAN_UNPOISON_MEMORY_REGION(p, n);
#else
    (void)p, (void)n;
#endif
  }

  std::vector<std::unique_ptr<std::vector<uint8_t>>> blocks_;
  std::vector<std::vector<uint8_t> *> poisoned_;
};

// What one call must leave in the trace.
struct Expected {
  bool failed;                 // the hook's failure test
  const uint8_t *dump;         // the bytes moved, for send and receive
  long long moved = -1;        // how many of them the dump shows; -1: none
  const char *name = nullptr;  // the socket function's name
};

// The hooks, in the order of the cases below.
#define NQ_FUZZ_NAME(name, ...) #name,
constexpr const char *kNames[] = {NQ_TRACED_CALLS(NQ_FUZZ_NAME)};
#undef NQ_FUZZ_NAME

template <typename T>
T Value(nqfuzz::Input *in) {
  return static_cast<T>(in->U64());
}

template <typename T>
T Handle(nqfuzz::Input *in) {
  return reinterpret_cast<T>(static_cast<uintptr_t>(in->U64()));
}

NQ_IOBUF *Buf(uint8_t *p) { return reinterpret_cast<NQ_IOBUF *>(p); }

void Same(bool same) {
  if (!same) nqfuzz::Fail("a hook changed its result");
}

// A send or receive buffer with the length that describes it, and a result
// of every kind: a failure, a count within it, past it, or anything.
struct Transfer {
  uint8_t *buf;
  NQ_IOLEN len;
  NQ_IORESULT result;
};

Transfer ReadTransfer(nqfuzz::Input *in, Owned *own) {
  std::vector<uint8_t> bytes = in->Bytes(kLargestBuffer);
  Transfer t;
  t.buf = in->U8() % 16 == 0 ? nullptr : own->Block(bytes);
  size_t size = t.buf ? bytes.size() : 0;
  t.len = static_cast<NQ_IOLEN>(in->Below(static_cast<uint32_t>(size + 1)));
  switch (in->U8() % 4) {
    case 0:
      t.result = -1;
      break;
    case 1:
      t.result =
          static_cast<NQ_IORESULT>(in->Below(static_cast<uint32_t>(t.len) + 1));
      break;
    case 2:
      t.result =
          static_cast<NQ_IORESULT>(t.len) + static_cast<NQ_IORESULT>(in->U8());
      break;
    default:
      t.result = Value<NQ_IORESULT>(in);
      break;
  }
  if (t.buf == nullptr) t.result = t.result < 0 ? t.result : 0;
  return t;
}

Expected Moved(const Transfer &t) {
  Expected e = {t.result == -1, t.buf, -1};
  // A null buffer is never read: no dump at all.
  if (t.result >= 0 && t.buf != nullptr) {
    long long len = static_cast<long long>(t.len);
    e.moved = t.result < len ? static_cast<long long>(t.result) : len;
  }
  return e;
}

Expected Call(uint32_t which, nqfuzz::Input *in, Owned *own) {
  const NQ_SOCKET s = Value<NQ_SOCKET>(in);
  const int i1 = Value<int>(in), i2 = Value<int>(in);
  const int r = in->Bool() ? -1 : Value<int>(in);
  switch (which) {
    case 0: {
      NQ_SOCKET result =
          in->Bool() ? static_cast<NQ_SOCKET>(-1) : Value<NQ_SOCKET>(in);
      Same(TX_accept(result, s, own->Struct<struct sockaddr>(in),
                     own->Untouchable<NQ_SOCKLEN>()) == result);
      return {result == static_cast<NQ_SOCKET>(-1), nullptr};
    }
    case 1: {
      NQ_SOCKLEN length = Value<NQ_SOCKLEN>(in);
      Same(TX_bind(r, s, own->Address(in, length), length) == r);
      return {r == -1, nullptr};
    }
    case 2:
      Same(TX_closesocket(r, s) == r);
      return {r == -1, nullptr};
    case 3: {
      NQ_SOCKLEN length = Value<NQ_SOCKLEN>(in);
      Same(TX_connect(r, s, own->Address(in, length), length) == r);
      return {r == -1, nullptr};
    }
    case 4:
      Same(TX_getpeername(r, s, own->Struct<struct sockaddr>(in),
                          own->Untouchable<NQ_SOCKLEN>()) == r);
      return {r == -1, nullptr};
    case 5:
      Same(TX_getsockname(r, s, own->Struct<struct sockaddr>(in),
                          own->Untouchable<NQ_SOCKLEN>()) == r);
      return {r == -1, nullptr};
    case 6:
      Same(TX_getsockopt(r, s, i1, i2, own->Untouchable<NQ_OPTVAL>(),
                         own->Untouchable<NQ_SOCKLEN>()) == r);
      return {r == -1, nullptr};
    case 7:
      Same(TX_ioctlsocket(r, s, Value<long>(in),
                          own->Untouchable<NQ_IOCTLARG>()) == r);
      return {r == -1, nullptr};
    case 8:
      Same(TX_listen(r, s, i1) == r);
      return {r == -1, nullptr};
    case 9: {
      Transfer t = ReadTransfer(in, own);
      Same(TX_recv(t.result, s, Buf(t.buf), t.len, i1) == t.result);
      return Moved(t);
    }
    case 10: {
      Transfer t = ReadTransfer(in, own);
      Same(TX_recvfrom(t.result, s, Buf(t.buf), t.len, i1,
                       own->Struct<struct sockaddr>(in),
                       own->Untouchable<NQ_SOCKLEN>()) == t.result);
      return Moved(t);
    }
    case 11:
      Same(TX_select(r, i1, own->Untouchable<fd_set>(),
                     own->Untouchable<fd_set>(), own->Untouchable<fd_set>(),
                     own->Struct<struct timeval>(in)) == r);
      return {r == -1, nullptr};
    case 12: {
      Transfer t = ReadTransfer(in, own);
      Same(TX_send(t.result, s, Buf(t.buf), t.len, i1) == t.result);
      return Moved(t);
    }
    case 13: {
      Transfer t = ReadTransfer(in, own);
      NQ_SOCKLEN length = Value<NQ_SOCKLEN>(in);
      Same(TX_sendto(t.result, s, Buf(t.buf), t.len, i1,
                     own->Address(in, length), length) == t.result);
      return Moved(t);
    }
    case 14:
      Same(TX_setsockopt(r, s, i1, i2, own->Untouchable<NQ_OPTVAL>(),
                         Value<NQ_SOCKLEN>(in)) == r);
      return {r == -1, nullptr};
    case 15:
      Same(TX_shutdown(r, s, i1) == r);
      return {r == -1, nullptr};
    case 16: {
      NQ_SOCKET result =
          in->Bool() ? static_cast<NQ_SOCKET>(-1) : Value<NQ_SOCKET>(in);
      Same(TX_socket(result, i1, i2, Value<int>(in)) == result);
      return {result == static_cast<NQ_SOCKET>(-1), nullptr};
    }
    case 17: {
      struct hostent *result = own->Host(in);
      const char *addr =
          in->U8() % 8 == 0
              ? nullptr
              : reinterpret_cast<const char *>(own->Block(in->Bytes(16), 4));
      Same(TX_gethostbyaddr(result, addr, i1, i2) == result);
      return {result == nullptr, nullptr};
    }
    case 18: {
      struct hostent *result = own->Host(in);
      Same(TX_gethostbyname(result, own->String(in)) == result);
      return {result == nullptr, nullptr};
    }
    case 19: {
      struct protoent *result = own->Proto(in);
      Same(TX_getprotobyname(result, own->String(in)) == result);
      return {result == nullptr, nullptr};
    }
    case 20: {
      struct protoent *result = own->Proto(in);
      Same(TX_getprotobynumber(result, i1) == result);
      return {result == nullptr, nullptr};
    }
    case 21: {
      struct servent *result = own->Serv(in);
      const char *name = own->String(in);
      Same(TX_getservbyname(result, name, own->String(in)) == result);
      return {result == nullptr, nullptr};
    }
    case 22: {
      struct servent *result = own->Serv(in);
      Same(TX_getservbyport(result, i1, own->String(in)) == result);
      return {result == nullptr, nullptr};
    }
    case 23: {
      // The name buffer need not hold a terminator within namelen.
      std::vector<uint8_t> bytes = in->Bytes(kLongestText);
      char *name = in->U8() % 8 == 0
                       ? nullptr
                       : reinterpret_cast<char *>(own->Block(bytes));
      size_t size = name ? bytes.size() : 64;
      NQ_IOLEN namelen =
          static_cast<NQ_IOLEN>(in->Below(static_cast<uint32_t>(size + 1)));
      Same(TX_gethostname(r, name, namelen) == r);
      return {r == -1, nullptr};
    }
    case 24:
      Same(TX_WSAAsyncSelect(r, s, Handle<NQ_HWND>(in), Value<NQ_UINT>(in),
                             Value<long>(in)) == r);
      return {r == -1, nullptr};
    case 25: {
      NQ_HANDLE result = in->Bool() ? nullptr : Handle<NQ_HANDLE>(in);
      const char *addr =
          in->U8() % 8 == 0
              ? nullptr
              : reinterpret_cast<const char *>(own->Block(in->Bytes(16), 4));
      Same(TX_WSAAsyncGetHostByAddr(
               result, Handle<NQ_HWND>(in), Value<NQ_UINT>(in), addr, i1, i2,
               own->Untouchable<char>(), Value<int>(in)) == result);
      return {result == nullptr, nullptr};
    }
    case 26: {
      NQ_HANDLE result = in->Bool() ? nullptr : Handle<NQ_HANDLE>(in);
      Same(TX_WSAAsyncGetHostByName(result, Handle<NQ_HWND>(in),
                                    Value<NQ_UINT>(in), own->String(in),
                                    own->Untouchable<char>(), i1) == result);
      return {result == nullptr, nullptr};
    }
    case 27: {
      NQ_HANDLE result = in->Bool() ? nullptr : Handle<NQ_HANDLE>(in);
      Same(TX_WSAAsyncGetProtoByNumber(result, Handle<NQ_HWND>(in),
                                       Value<NQ_UINT>(in), i1,
                                       own->Untouchable<char>(), i2) == result);
      return {result == nullptr, nullptr};
    }
    case 28: {
      NQ_HANDLE result = in->Bool() ? nullptr : Handle<NQ_HANDLE>(in);
      Same(TX_WSAAsyncGetProtoByName(result, Handle<NQ_HWND>(in),
                                     Value<NQ_UINT>(in), own->String(in),
                                     own->Untouchable<char>(), i1) == result);
      return {result == nullptr, nullptr};
    }
    case 29: {
      NQ_HANDLE result = in->Bool() ? nullptr : Handle<NQ_HANDLE>(in);
      Same(TX_WSAAsyncGetServByPort(result, Handle<NQ_HWND>(in),
                                    Value<NQ_UINT>(in), i1, own->String(in),
                                    own->Untouchable<char>(), i2) == result);
      return {result == nullptr, nullptr};
    }
    case 30: {
      NQ_HANDLE result = in->Bool() ? nullptr : Handle<NQ_HANDLE>(in);
      const char *name = own->String(in);
      Same(TX_WSAAsyncGetServByName(result, Handle<NQ_HWND>(in),
                                    Value<NQ_UINT>(in), name, own->String(in),
                                    own->Untouchable<char>(), i1) == result);
      return {result == nullptr, nullptr};
    }
    case 31:
      Same(TX_WSACancelAsyncRequest(r, Handle<NQ_HANDLE>(in)) == r);
      return {r == -1, nullptr};
    case 32: {
      NQ_PROC result = in->Bool() ? nullptr : Handle<NQ_PROC>(in);
      Same(TX_WSASetBlockingHook(result, Handle<NQ_PROC>(in)) == result);
      return {false, nullptr};
    }
    case 33:
      Same(TX_WSAUnhookBlockingHook(r) == r);
      return {r == -1, nullptr};
    case 34:
      Same(TX_WSACancelBlockingCall(r) == r);
      return {r == -1, nullptr};
    case 35: {
      NQ_BOOL result = Value<NQ_BOOL>(in);
      Same(TX_WSAIsBlocking(result) == result);
      return {false, nullptr};
    }
    default:
      nqfuzz::Fail("a listed hook without its case", "",
                   which < std::size(kNames) ? kNames[which] : "?");
  }
}

// The call line: the module, clock and elapsed columns, the tag, the
// function's name and its bracket, and the code where it failed; line
// feeds from the caller's strings only as CR LF.
void CheckLine(const std::string &line, const std::string &module,
               const Expected &e, const char *tag, bool with_code, int code) {
  std::string head = module + " ";
  size_t at = head.size();
  if (line.compare(0, at, head) != 0) nqfuzz::Fail("module column", head, line);
  at += 7;  // the clock and its space
  while (at < line.size() && line[at] >= '0' && line[at] <= '9') ++at;
  std::string rest = line.substr(at);
  std::string start = std::string(" ") + tag + e.name + "(";
  if (rest.compare(0, start.size(), start) != 0)
    nqfuzz::Fail("tag and name", start, line);
  std::string end =
      (with_code ? " [" + std::to_string(code) + "]" : "") + "\r\n";
  if (line.size() < end.size() ||
      line.compare(line.size() - end.size(), end.size(), end) != 0) {
    nqfuzz::Fail("end of the call line", end, line);
  }
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\n' && (i == 0 || line[i - 1] != '\r')) {
      nqfuzz::Fail("a line feed without its carriage return", "", line);
    }
  }
}

}  // namespace

extern "C" int NQ_FUZZ_ENTRY(const uint8_t *data, size_t size) {
  nqfuzz::SetUp();
  nqfuzz::Input in(data, size);
  uint32_t flags = in.U8();
  if (flags & 0x80) flags |= TRACE_KIND_CALL;  // lets every call line through
  const int code = static_cast<int>(in.U32());
  const uint32_t which = in.Below(static_cast<uint32_t>(std::size(kNames)));
  WSASetTraceFlags(flags);
  nqfuzz::SetCallerError(code);
  nqfuzz::ResetHandBacks();
  nqfuzz::TakeRecords();
  Expected e;
  {
    Owned own;
    errno = kSystemError;
    e = Call(which, &in, &own);
    e.name = kNames[which];
    if (errno != kSystemError) nqfuzz::Fail("errno changed by a hook");
    std::vector<std::string> records = nqfuzz::TakeRecords();

    if (nqfuzz::HandBacks() != 1 || nqfuzz::HandedBack() != code) {
      nqfuzz::Fail("error code handed back once", std::to_string(code),
                   std::to_string(nqfuzz::HandedBack()) + " after " +
                       std::to_string(nqfuzz::HandBacks()) + " calls");
    }
    // The system's own would-block codes warn too: on Linux EAGAIN (11)
    // and EINPROGRESS (115); on Windows both are 10035.
    bool warning =
        e.failed && (code == 10035 || code == nq::kSystemWouldBlock ||
                     code == nq::kSystemInProgress || code > 11000);
    bool mark = e.failed && !(warning && !(flags & TRACE_FLAG_WARNINGS));
    bool line = !(flags & (TRACE_FLAG_ERRORS | TRACE_FLAG_WARNINGS)) || mark ||
                (flags & TRACE_KIND_CALL) != 0;
    bool dump = e.moved >= 0 && (flags & TRACE_FLAG_DUMP) != 0;
    // A call line and its dump are one append (no dump here comes near the
    // 16 MiB of text past which a dump goes on in further appends).
    if (records.size() != ((line || dump) ? 1u : 0u)) {
      nqfuzz::Fail("number of records",
                   std::string(line ? "line " : "") + (dump ? "dump" : ""),
                   std::to_string(records.size()));
    }
    const std::string module = nq::FindContext()->module_name;
    std::string record = records.empty() ? "" : records[0];
    if (dump) {
      std::string want = nqfuzz::DumpText(module.size() + 1, e.dump,
                                          static_cast<size_t>(e.moved));
      if (record.size() < want.size() ||
          record.compare(record.size() - want.size(), want.size(), want) != 0) {
        nqfuzz::Fail("dump of the bytes moved", want, record);
      }
      record.resize(record.size() - want.size());
    }
    if (line) {
      CheckLine(record, module, e,
                warning ? "WRN: "
                : mark  ? "ERR: "
                        : "INF: ",
                mark || warning, code);
    }
  }
  return 0;
}
