// The value formatters over structures built from the fuzzer's bytes: names
// of any length or none, address lists that are missing, empty or long,
// ports and protocol numbers of every value. Every text must be the exact
// one its format gives, cut only where its buffer ends.
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_input.h"
#include "fuzz_sink.h"
#include "hooks/formatters.h"

#ifndef NQ_FUZZ_ENTRY
#define NQ_FUZZ_ENTRY LLVMFuzzerTestOneInput
#endif

namespace {

constexpr size_t kLongestName = 300;  // past every buffer

std::string Printf(const char *format, ...)
    __attribute__((format(printf, 1, 2)));

std::string Printf(const char *format, ...) {
  char buf[128];
  va_list ap;
  va_start(ap, format);
  vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  return buf;
}

std::string Dotted(const uint8_t *b) {
  return Printf("%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

// "returned <head> (<name>)" in a buffer of 128 bytes, control bytes of
// the name as \xHH: a long name is cut, never inside an escape, so that
// the closing parenthesis still ends the text.
std::string EntryText(const std::string &head, const char *name) {
  std::string text = "returned " + head + " (";
  size_t room = 128 - text.size() - 2;
  std::string shown;
  for (const char *p = name ? name : ""; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    bool control =
        c < 0x20 || c == 0x7F || c == '"' || (c == '\\' && p[1] == 'x');
    std::string one = control ? Printf("\\x%02X", c) : std::string(1, *p);
    if (shown.size() + one.size() > room) break;
    shown += one;
  }
  return text + shown + ")";
}

// A text longer than its buffer is cut at the buffer's end (only 64-bit
// time values can be, on hosts whose timeval has 64-bit fields).
void Expect(const char *what, const std::string &want, const char *got,
            size_t buffer) {
  if (strlen(got) >= buffer)
    nqfuzz::Fail(what, "a text within its buffer", got);
  if (want.substr(0, buffer - 1) != got) nqfuzz::Fail(what, want, got);
}

// A name the entry points at, or none.
struct Name {
  bool present;
  std::string text;
  char *get() { return present ? &text[0] : nullptr; }
};

Name ReadName(nqfuzz::Input *in) {
  Name name;
  name.present = in->Bool();
  name.text = in->Text(kLongestName);
  return name;
}

void HostEntries(nqfuzz::Input *in) {
  Name name = ReadName(in);
  // 0: no list, 1: an empty list, more: that many addresses less one.
  uint32_t shape = in->Below(6);
  std::vector<std::vector<uint8_t>> addresses;
  std::vector<char *> list;
  for (uint32_t i = 1; i < shape; ++i) {
    // A braced list reads its bytes in order, and i686 GCC at -O3 sees no
    // phantom overflow in it, as it does in a loop over a sized vector.
    addresses.push_back({in->U8(), in->U8(), in->U8(), in->U8()});
  }
  for (auto &a : addresses) list.push_back(reinterpret_cast<char *>(a.data()));
  list.push_back(nullptr);
  struct hostent host;
  memset(&host, 0, sizeof host);
  host.h_name = name.get();
  host.h_addr_list = shape == 0 ? nullptr : list.data();
  // Mostly four, the length of every real entry; below it the address is
  // not read and its length shows instead.
  int length = static_cast<int>(in->Below(8)) - 2;
  host.h_length = static_cast<decltype(host.h_length)>(length);
  std::string head = addresses.empty() ? "(no address)"
                     : length < 4      ? Printf("<%d bytes>", length)
                                       : Dotted(addresses[0].data());
  Expect("FormatHostEnt", EntryText(head, name.get()), nq::FormatHostEnt(&host),
         128);
  Expect("FormatHostEnt(NULL)", "returned NULL", nq::FormatHostEnt(nullptr),
         128);
}

void ServiceAndProtocolEntries(nqfuzz::Input *in) {
  Name name = ReadName(in);
  struct servent serv;
  memset(&serv, 0, sizeof serv);
  serv.s_name = name.get();
  serv.s_port = static_cast<decltype(serv.s_port)>(in->U32());
  uint32_t low = static_cast<uint32_t>(serv.s_port) & 0xFFFFu;
  unsigned port = ((low & 0xFFu) << 8) | (low >> 8);
  Expect("FormatServEnt", EntryText(Printf("%u", port), name.get()),
         nq::FormatServEnt(&serv), 128);
  Expect("FormatServEnt(NULL)", "returned NULL", nq::FormatServEnt(nullptr),
         128);

  Name proto_name = ReadName(in);
  struct protoent proto;
  memset(&proto, 0, sizeof proto);
  proto.p_name = proto_name.get();
  proto.p_proto = static_cast<decltype(proto.p_proto)>(in->U32());
  int number = static_cast<int16_t>(static_cast<uint16_t>(proto.p_proto));
  Expect("FormatProtoEnt", EntryText(Printf("%d", number), proto_name.get()),
         nq::FormatProtoEnt(&proto), 128);
  Expect("FormatProtoEnt(NULL)", "returned NULL", nq::FormatProtoEnt(nullptr),
         128);
}

void Addresses(nqfuzz::Input *in) {
  uint32_t value = in->U32();
  uint8_t b[4];
  memcpy(b, &value, 4);
  Expect("FormatInAddr", Dotted(b), nq::FormatInAddr(value), 32);
  uint32_t swapped = ((value & 0xFFu) << 8) | ((value >> 8) & 0xFFu);
  if (nq::NetToHostShort(value) != swapped) {
    nqfuzz::Fail("NetToHostShort", std::to_string(swapped),
                 std::to_string(nq::NetToHostShort(value)));
  }
  // An IPv4 structure with any port and address (the POSIX builds give
  // other families texts of their own).
  struct sockaddr_in sin;
  std::vector<uint8_t> raw(sizeof sin);
  for (uint8_t &c : raw) c = in->U8();
  memcpy(&sin, raw.data(), sizeof sin);
  sin.sin_family = AF_INET;
  const uint8_t *port = raw.data() + offsetof(struct sockaddr_in, sin_port);
  const uint8_t *addr = raw.data() + offsetof(struct sockaddr_in, sin_addr);
  std::string whole = Dotted(addr) + Printf(":%u", port[0] << 8 | port[1]);
  const auto *sa = reinterpret_cast<struct sockaddr *>(&sin);
  Expect("FormatSockAddr", whole, nq::FormatSockAddr(sa), 64);
  Expect("FormatSockAddr(NULL)", "NULL", nq::FormatSockAddr(nullptr), 64);
  // With the caller's length: below the eight bytes read, nothing is read.
  int length = static_cast<int>(in->U32());
  if (in->Bool()) length = static_cast<int>(in->Below(12)) - 2;
  Expect("FormatSockAddrOfLength",
         length < 8 ? Printf("<%d bytes>", length) : whole,
         nq::FormatSockAddrOfLength(sa, length), 64);
  Expect("FormatInAddrOfLength",
         length < 4 ? Printf("<%d bytes>", length) : Dotted(b),
         nq::FormatInAddrOfLength(b, length), 32);
  Expect("FormatSockAddrOfLength(NULL)", "NULL",
         nq::FormatSockAddrOfLength(nullptr, length), 64);
}

void Results(nqfuzz::Input *in) {
  struct timeval tv;
  tv.tv_sec = static_cast<decltype(tv.tv_sec)>(in->U64());
  tv.tv_usec = static_cast<decltype(tv.tv_usec)>(in->U64());
  Expect("FormatTimeVal",
         Printf("%lld:%lld", static_cast<long long>(tv.tv_sec),
                static_cast<long long>(tv.tv_usec)),
         nq::FormatTimeVal(&tv), 48);
  Expect("FormatTimeVal(NULL)", "NULL", nq::FormatTimeVal(nullptr), 48);
  ptrdiff_t result = static_cast<ptrdiff_t>(in->U64());
  Expect("FormatIntResult",
         Printf("returned %lld", static_cast<long long>(result)),
         nq::FormatIntResult(result), 64);
  NQ_SOCKET s = static_cast<NQ_SOCKET>(in->U64());
  std::string want =
      s == static_cast<NQ_SOCKET>(-1)
          ? "returned INVALID_SOCKET"
          : Printf("returned %lld",
                   static_cast<long long>(static_cast<ptrdiff_t>(s)));
  Expect("FormatSocketResult", want, nq::FormatSocketResult(s), 64);
  uintptr_t handle = static_cast<uintptr_t>(in->U64());
  if (in->Bool()) handle = 0;
  want = handle == 0 ? "returned NULL"
                     : Printf("returned 0x%llx",
                              static_cast<unsigned long long>(handle));
  Expect("FormatHandleResult", want, nq::FormatHandleResult(handle), 64);
  Expect("FormatProcResult", want, nq::FormatProcResult(handle), 64);
}

}  // namespace

extern "C" int NQ_FUZZ_ENTRY(const uint8_t *data, size_t size) {
  nqfuzz::Input in(data, size);
  HostEntries(&in);
  ServiceAndProtocolEntries(&in);
  Addresses(&in);
  Results(&in);
  return 0;
}
