#include "socket_table.h"

#include <algorithm>

#include "call_args.h"

namespace nqpcap {
namespace {

using nqtrace::Address;
using nqtrace::AddressForm;
using nqtrace::CallArgs;
using nqtrace::ParseAddress;
using nqtrace::ParseInteger;

constexpr std::int64_t kAfInet = 2;
constexpr std::int64_t kSockStream = 1;
constexpr std::int64_t kSockDgram = 2;
constexpr std::int64_t kMsgPeek = 2;
constexpr std::int64_t kShutdownSend = 1;
constexpr std::int64_t kShutdownBoth = 2;
// More waiting transfers than this means dumps are not coming.
constexpr std::size_t kMaxWaiting = 4096;

// The codes of a connect that goes on in the background, on Windows and as
// the Linux build of the library writes them.
bool WouldBlock(std::uint32_t code) {
  return code == 10035 || code == 10036 || code == 115 || code == 11;
}
bool StillConnecting(std::uint32_t code) {
  return code == 10037 || code == 114;
}
bool AlreadyConnected(std::uint32_t code) {
  return code == 10056 || code == 106;
}

bool Integer(const CallArgs &args, std::size_t i, std::int64_t &value) {
  return i < args.count && ParseInteger(args.items[i], value);
}

Address AddressArg(const CallArgs &args, std::size_t i) {
  return i < args.count ? ParseAddress(args.items[i]) : Address{};
}

void LearnLocal(Conversation &c, const Address &a) {
  if (c.started || a.form != AddressForm::Ipv4) return;
  if (a.ip != 0) {
    c.local.ip = a.ip;
    c.local_ip_known = true;
  }
  if (a.port != 0) {
    c.local.port = a.port;
    c.local_port_known = true;
  }
}

void LearnPeer(Conversation &c, const Address &a) {
  if (c.started || a.form != AddressForm::Ipv4) return;
  c.peer.ip = a.ip;
  c.peer.port = a.port;
  c.peer_known = true;
}

}  // namespace

Conversation *SocketTable::Find(const Key &key) {
  auto it = sockets_.find(key);
  return it == sockets_.end() ? nullptr : &it->second;
}

Conversation &SocketTable::Open(const Key &key) { return sockets_[key]; }

void SocketTable::Forget(const Key &key) {
  DropTransferOf(key);
  sockets_.erase(key);
}

void SocketTable::DropTransfer(std::size_t index) {
  const Transfer &t = waiting_[index];
  ++tally_.undumped;
  tally_.undumped_bytes += t.total - t.placed;
  waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(index));
}

void SocketTable::DropTransferOf(const Key &key) {
  for (std::size_t i = waiting_.size(); i-- > 0;)
    if (waiting_[i].key == key) DropTransfer(i);
}

void SocketTable::EnsureStarted(Conversation &c, const Origin &origin) {
  if (c.started) return;
  c.Start(capture_, c.connecting ? c.connect_origin : origin, false);
}

void SocketTable::Call(const nqtrace::ParsedLine &line, const Origin &at) {
  CallArgs args;
  if (!nqtrace::SplitArgs(line.args, args)) return;
  const std::string_view fn = line.function;
  const bool ok = line.tag == nqtrace::Tag::Info;
  std::int64_t result = 0;
  const bool numeric = ParseInteger(line.result, result);

  if (fn == "socket") {
    std::int64_t af = 0, type = 0;
    if (!ok || !numeric || !Integer(args, 0, af) || !Integer(args, 1, type))
      return;
    const Key key{std::string(line.module), result};
    Forget(key);  // a handle used again after closesocket
    Conversation &c = Open(key);
    if (af != kAfInet || (type != kSockStream && type != kSockDgram)) {
      c.kind = SocketKind::Excluded;
      ++tally_.excluded_sockets;
    } else {
      c.kind = type == kSockStream ? SocketKind::Tcp : SocketKind::Udp;
    }
    return;
  }
  const bool known = fn == "bind" || fn == "listen" || fn == "accept" ||
                     fn == "connect" || fn == "getsockname" ||
                     fn == "getpeername" || fn == "send" || fn == "recv" ||
                     fn == "sendto" || fn == "recvfrom" || fn == "shutdown" ||
                     fn == "closesocket";
  std::int64_t handle = 0;
  if (!known || !Integer(args, 0, handle)) return;
  const Key key{std::string(line.module), handle};
  // Whatever the thread that sent or received did next on this socket,
  // the dump of that transfer came before it.
  DropTransferOf(key);
  auto it = sockets_.try_emplace(key).first;
  Conversation &c = it->second;
  if (c.kind == SocketKind::Excluded) return;
  // Frames cite the module through the table's own copy of its name.
  const Origin origin{at.time_us, at.line, it->first.first};

  if (fn == "connect") {
    Connect(line, origin, key);
  } else if (fn == "closesocket") {
    if (!ok) return;
    if (c.kind == SocketKind::Tcp && c.started) c.Close(capture_, origin);
    Forget(key);
  } else if (!ok) {
    // A failed call moves nothing and changes nothing.
  } else if (fn == "bind" || fn == "getsockname") {
    LearnLocal(c, AddressArg(args, 1));
  } else if (fn == "getpeername") {
    LearnPeer(c, AddressArg(args, 1));
    if (c.connecting) EnsureStarted(c, origin);
  } else if (fn == "listen") {
    c.kind = SocketKind::Tcp;
  } else if (fn == "accept") {
    if (!numeric) return;
    const Conversation listener = c;
    const Key accepted{key.first, result};
    Forget(accepted);
    auto a = sockets_.try_emplace(accepted).first;
    Conversation &s = a->second;
    s.kind = SocketKind::Tcp;
    s.local = listener.local;
    s.local_ip_known = listener.local_ip_known;
    s.local_port_known = listener.local_port_known;
    const Address from = AddressArg(args, 1);
    if (from.form == AddressForm::Ipv4 && from.ip != 0) LearnPeer(s, from);
    s.Start(capture_, Origin{at.time_us, at.line, a->first.first}, true);
  } else if (fn == "shutdown") {
    std::int64_t how = 0;
    if (c.kind == SocketKind::Tcp && c.started && Integer(args, 1, how) &&
        (how == kShutdownSend || how == kShutdownBoth))
      c.ShutdownSend(capture_, origin);
  } else if (numeric && result >= 0) {
    AddTransfer(line, origin, key, result);
  }
}

void SocketTable::Connect(const nqtrace::ParsedLine &line, const Origin &origin,
                          const Key &key) {
  Conversation &c = sockets_[key];
  CallArgs args;
  nqtrace::SplitArgs(line.args, args);
  const Address to = AddressArg(args, 1);
  if (c.kind == SocketKind::Unknown) c.kind = SocketKind::Tcp;
  if (line.tag == nqtrace::Tag::Info) {
    if (c.started) return;
    LearnPeer(c, to);
    if (c.kind == SocketKind::Tcp) EnsureStarted(c, origin);
    return;
  }
  if (c.started) return;
  if (WouldBlock(line.code) && !c.connecting) {
    // The conversation starts at this first attempt if it completes.
    c.connecting = true;
    c.connect_origin = origin;
    LearnPeer(c, to);
  } else if (AlreadyConnected(line.code) && c.connecting) {
    EnsureStarted(c, origin);
  } else if (!StillConnecting(line.code) && !WouldBlock(line.code)) {
    c.connecting = false;  // refused, timed out: no conversation
  }
}

void SocketTable::AddTransfer(const nqtrace::ParsedLine &line,
                              const Origin &origin, const Key &key,
                              std::int64_t moved) {
  Conversation &c = sockets_[key];
  CallArgs args;
  nqtrace::SplitArgs(line.args, args);
  const std::string_view fn = line.function;
  const bool outgoing = fn == "send" || fn == "sendto";
  std::int64_t flags = 0;
  if (!outgoing && Integer(args, 3, flags) && (flags & kMsgPeek) != 0)
    return;  // the same bytes come again with the next receive
  const Address named =
      fn == "sendto" || fn == "recvfrom" ? AddressArg(args, 4) : Address{};
  if (c.kind == SocketKind::Unknown)
    c.kind =
        named.form == AddressForm::Ipv4 ? SocketKind::Udp : SocketKind::Tcp;
  if (c.kind == SocketKind::Tcp) {
    EnsureStarted(c, origin);
    if (moved == 0) {
      if (!outgoing) c.PeerClosed(capture_, origin);
      return;
    }
  } else if (!c.started) {
    c.Start(capture_, origin, false);
  }

  Transfer t;
  t.key = key;
  t.outgoing = outgoing;
  t.udp = c.kind == SocketKind::Udp;
  if (t.udp) {
    Endpoint remote = c.peer;
    if (named.form == AddressForm::Ipv4)
      remote = Endpoint{named.ip, named.port};
    t.src = outgoing ? c.local : remote;
    t.dst = outgoing ? remote : c.local;
    if (moved == 0) {
      capture_.Udp(origin, t.src, t.dst, nullptr, 0);
      return;
    }
  }
  t.total = static_cast<std::uint64_t>(moved);
  t.line = origin.line;
  t.time_us = origin.time_us;
  ++tally_.transfers;
  if (waiting_.size() == kMaxWaiting) DropTransfer(0);
  waiting_.push_back(std::move(t));
}

std::size_t SocketTable::FindWaiting(std::size_t indent, std::uint64_t offset,
                                     std::size_t len) const {
  std::size_t fits = waiting_.size();
  for (std::size_t i = 0; i < waiting_.size(); ++i) {
    const Transfer &t = waiting_[i];
    if (t.key.first.size() + 1 != indent || t.placed != offset ||
        t.total - t.placed < len)
      continue;
    // Two threads' calls can come before their dumps: the one whose count
    // the dump fills exactly is the better match.
    if (t.total - t.placed == len) return i;
    if (fits == waiting_.size()) fits = i;
  }
  return fits;
}

bool SocketTable::PlaceDump(std::size_t indent, std::uint64_t offset,
                            const std::uint8_t *bytes, std::size_t len) {
  const std::size_t i = FindWaiting(indent, offset, len);
  if (i == waiting_.size()) {
    ++tally_.unplaced_dumps;
    return false;
  }
  Transfer &t = waiting_[i];
  Conversation *c = Find(t.key);
  const Origin origin{t.time_us, t.line, t.key.first};
  t.placed += len;
  if (offset == 0) ++tally_.placed_dumps;
  if (t.udp) {
    t.datagram.insert(t.datagram.end(), bytes, bytes + len);
    if (t.placed == t.total) {
      std::size_t at = 0;
      do {
        const std::size_t n = std::min(t.datagram.size() - at, kMaxUdpPayload);
        capture_.Udp(origin, t.src, t.dst, t.datagram.data() + at, n);
        at += n;
      } while (at < t.datagram.size());
    }
  } else if (c != nullptr) {
    c->Data(capture_, origin, t.outgoing, bytes, len);
  }
  if (t.placed == t.total)
    waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(i));
  return true;
}

void SocketTable::DropDamagedDump(std::size_t indent, std::uint64_t offset) {
  ++tally_.damaged_dumps;
  for (std::size_t i = 0; i < waiting_.size(); ++i) {
    const Transfer &t = waiting_[i];
    if (t.key.first.size() + 1 == indent && t.placed == offset) {
      waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

void SocketTable::Finish() {
  while (!waiting_.empty()) DropTransfer(waiting_.size() - 1);
  sockets_.clear();
}

}  // namespace nqpcap
