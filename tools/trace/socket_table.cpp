#include "socket_table.h"

#include <algorithm>

#include "winsock_names.h"

namespace nqtrace {
namespace {

constexpr std::int64_t kAfUnix = 1;
constexpr std::int64_t kAfInet = 2;
constexpr std::int64_t kAfInet6 = 10;  // as the Linux build writes it
// Windows numbers AF_INET6 23, the number Linux gives AF_IRDA: the first
// address of such a socket tells which it is (IrDA's print as <family 23>).
constexpr std::int64_t kAfInet6OrIrda = 23;
constexpr std::int64_t kSockStream = 1;
constexpr std::int64_t kSockDgram = 2;
// Linux ORs SOCK_NONBLOCK and SOCK_CLOEXEC into the type; the type itself
// is the low four bits.
constexpr std::int64_t kSockTypeMask = 0xF;
constexpr std::int64_t kShutdownSend = 1;
constexpr std::int64_t kShutdownBoth = 2;
// More waiting transfers than this means dumps are not coming.
constexpr std::size_t kMaxWaiting = 4096;
// The bytes of UDP datagrams held until the rest of their dump comes. A
// dump arrives whole unless it is larger than the library writes in one
// piece, so only a damaged or crafted trace leaves many waiting in part.
constexpr std::size_t kMaxHeldDatagrams = 4 * 1024 * 1024;
// The bytes still to come of a transfer whose dump says how many it moved.
constexpr std::uint64_t kOpenEnded = std::uint64_t{1} << 62;

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

// Argument i, where i may be a shape's -1 for none.
bool Integer(const CallArgs &args, int i, std::int64_t &value) {
  return i >= 0 && static_cast<std::size_t>(i) < args.count &&
         ParseInteger(args.items[i], value);
}

Address AddressArg(const CallArgs &args, int i) {
  return i >= 0 && static_cast<std::size_t>(i) < args.count
             ? ParseAddress(args.items[i])
             : Address{};
}

bool IsIp(const Address &a) {
  return a.form == AddressForm::Ipv4 || a.form == AddressForm::Ipv6;
}

bool IsZero(const Address &a) {
  if (a.form == AddressForm::Ipv4) return a.ip == 0;
  for (std::uint8_t b : a.ip6)
    if (b != 0) return false;
  return true;
}

void SetAddress(Endpoint &e, const Address &a) {
  e.v6 = a.form == AddressForm::Ipv6;
  e.ip = a.ip;
  std::copy(std::begin(a.ip6), std::end(a.ip6), e.ip6);
}

}  // namespace

SocketState *SocketTable::Find(const Key &key) {
  auto it = sockets_.find(key);
  return it == sockets_.end() ? nullptr : &it->second;
}

const SocketState *SocketTable::Find(std::string_view module,
                                     std::int64_t handle) const {
  auto it = sockets_.find(Key{std::string(module), handle});
  return it == sockets_.end() ? nullptr : &it->second;
}

SocketState &SocketTable::Entry(const Key &key) {
  auto it = sockets_.try_emplace(key).first;
  if (it->second.id == 0) it->second.id = next_id_++;
  return it->second;
}

bool SocketTable::Begin(SocketState &c, const Origin &origin, bool passive) {
  if (!events_.Start(c, origin, passive)) return false;
  c.started = true;
  c.connecting = false;
  return true;
}

SocketState &SocketTable::Opened(const Key &key) {
  auto it = sockets_.find(key);
  if (it == sockets_.end() || !it->second.open) {
    Forget(key);  // a handle used again after closesocket
    SocketState &c = Entry(key);
    c.open = true;
    return c;
  }
  // The trace holds this handle open already: another process of the same
  // name made it (lines do not say which process wrote them), or its close
  // is not in the trace. Which socket a later line means cannot be told,
  // so the handle's lines are left out until every open is closed again.
  SocketState &c = it->second;
  DropTransferOf(c);
  if (c.why != LeftOut::Shared) {
    if (c.kind != SocketKind::Excluded)
      ++tally_.left_out[static_cast<int>(LeftOut::Shared)];
    c.kind = SocketKind::Excluded;
    c.why = LeftOut::Shared;
    c.opens = 1;
  }
  ++c.opens;
  ++tally_.left_out[static_cast<int>(LeftOut::Shared)];
  return c;
}

void SocketTable::Forget(const Key &key) {
  auto it = sockets_.find(key);
  if (it == sockets_.end()) return;
  DropTransferOf(it->second);
  events_.Forgotten(it->second);
  sockets_.erase(it);
}

void SocketTable::Exclude(SocketState &c, LeftOut why) {
  if (c.kind == SocketKind::Excluded) return;
  c.kind = SocketKind::Excluded;
  c.why = why;
  ++tally_.left_out[static_cast<int>(why)];
}

bool SocketTable::ExcludedBy(SocketState &c, const Address &a) {
  if (!c.started && a.form == AddressForm::Unix) Exclude(c, LeftOut::Unix);
  if (!c.started && a.form == AddressForm::Family) Exclude(c, LeftOut::Family);
  return c.kind == SocketKind::Excluded;
}

void SocketTable::Learn(SocketState &c, const Address &a, bool local) {
  if (c.ends_fixed || !IsIp(a)) return;
  const bool v6 = a.form == AddressForm::Ipv6;
  if (!c.family_known) {
    c.v6 = v6;
    c.family_known = true;
  }
  if (c.v6 != v6) return;  // not this socket's family: a damaged line
  if (!local) {
    SetAddress(c.peer, a);
    c.peer.port = a.port;
    c.peer_known = true;
    return;
  }
  if (!IsZero(a)) {
    SetAddress(c.local, a);
    c.local_ip_known = true;
  }
  if (a.port != 0) {
    c.local.port = a.port;
    c.local_port_known = true;
  }
}

SocketTable::Place SocketTable::PlaceOf(const Transfer &t,
                                        std::uint64_t order) {
  return Place{t.key.first.size() + 1, t.placed, t.total - t.placed, order};
}

void SocketTable::DropTransfer(std::uint64_t order, bool counted) {
  auto it = waiting_.find(order);
  if (it == waiting_.end()) return;
  const Transfer &t = it->second;
  if (t.open_ended && t.udp && !t.datagram.empty())
    events_.Datagram(Origin{t.time_us, t.line, t.key.first, t.call, t.thread},
                     t.src, t.dst, t.datagram.data(), t.datagram.size());
  if (counted && !t.discard && !t.excluded && !t.open_ended) {
    ++tally_.undumped;
    tally_.undumped_bytes += t.total - t.placed;
  }
  if (SocketState *c = Find(t.key)) c->waiting = 0;
  held_datagrams_ -= t.datagram.size();
  places_.erase(PlaceOf(t, order));
  waiting_.erase(it);
}

void SocketTable::DropTransferOf(SocketState &c) {
  if (c.waiting != 0) DropTransfer(c.waiting, true);
  c.waiting = 0;
}

void SocketTable::EnsureStarted(SocketState &c, const Origin &origin) {
  if (c.started || c.kind == SocketKind::Excluded) return;
  if (!Begin(c, c.connecting ? c.connect_origin : origin, false))
    Exclude(c, LeftOut::Ports);
}

void SocketTable::Call(const ParsedLine &line, const Origin &at) {
  CallArgs args;
  if (!SplitArgs(line.args, args)) return;
  const std::string_view fn = line.function;
  if (fn == "socket" || fn == "WSASocketA" || fn == "WSASocketW") {
    if (line.tag == Tag::Info) SocketCreated(line, args);
    return;
  }
  if (fn == "socketpair") {
    if (line.tag == Tag::Info) SocketPair(line);
    return;
  }
  std::int64_t result = 0;
  const bool numeric = ParseInteger(line.result, result);
  // The data calls of the POSIX builds count as the send or receive they
  // amount to; splice names the socket it writes to third.
  const CallLine call{line,    args,  ShapeOf(fn, args), line.tag == Tag::Info,
                      numeric, result};
  std::int64_t handle = 0;
  if (!Integer(args, call.shape.socket, handle)) return;
  const Key key{std::string(line.module), handle};
  Entry(key);
  auto it = sockets_.find(key);
  SocketState &c = it->second;
  // Whatever the thread that sent or received did next on this socket,
  // the dump of that transfer came before it.
  DropTransferOf(c);
  if (call.ok) c.open = true;
  // Frames cite the module through the table's own copy of its name.
  const Origin origin{at.time_us, at.line, it->first.first, at.call, at.thread};

  if (CallOfAnyOutcome(call, origin, key, c)) return;
  // A failed call moves nothing and changes nothing.
  if (!call.ok || ConnectionOrDataCall(call, at, origin, key, c)) return;
  // Nothing of an excluded socket goes into the capture.
  if (c.kind != SocketKind::Excluded) StateCall(call, origin, key, c);
}

void SocketTable::SocketCreated(const ParsedLine &line, const CallArgs &args) {
  std::int64_t result = 0, af = 0, type = 0;
  if (!ParseInteger(line.result, result) || !Integer(args, 0, af) ||
      !Integer(args, 1, type))
    return;
  SocketState &c = Opened(Key{std::string(line.module), result});
  type &= kSockTypeMask;
  if (af == kAfUnix) {
    Exclude(c, LeftOut::Unix);
  } else if (af != kAfInet && af != kAfInet6 && af != kAfInet6OrIrda) {
    Exclude(c, LeftOut::Family);
  } else if (type != kSockStream && type != kSockDgram) {
    Exclude(c, LeftOut::Type);
  } else if (c.kind != SocketKind::Excluded) {
    c.kind = type == kSockStream ? SocketKind::Tcp : SocketKind::Udp;
    c.v6 = af != kAfInet;
    c.family_known = af != kAfInet6OrIrda || line.function != "socket";
  }
}

bool SocketTable::CallOfAnyOutcome(const CallLine &call, const Origin &origin,
                                   const Key &key, SocketState &c) {
  const std::string_view fn = call.line.function;
  if (fn == "closesocket") {
    if (!call.ok) return true;
    if (c.why == LeftOut::Shared && --c.opens > 0) return true;
    if (c.connected) EnsureStarted(c, origin);
    if (c.kind == SocketKind::Tcp && c.started) events_.Close(c, origin);
    Forget(key);
  } else if (fn == "connect" || fn == "WSAConnect") {
    Connect(call, origin, key);
  } else if (fn == "ConnectEx") {
    ConnectEx(call, origin, key);
  } else if (Completion done; ParseCompletion(fn, call.args, done)) {
    Complete(call.line, origin, done);
  } else if (fn == "WSASendTo" && IsPending(call.line)) {
    // Its completion does not repeat where the datagram goes.
    const Address to = AddressArg(call.args, call.shape.address);
    if (sent_to_.size() == kMaxWaiting) sent_to_.clear();  // never completed
    if (IsIp(to) && call.args.count > 7)
      sent_to_[{key.first, std::string(call.args.items[7])}] = to;
  } else {
    return false;
  }
  return true;
}

bool SocketTable::ConnectionOrDataCall(const CallLine &call, const Origin &at,
                                       const Origin &origin, const Key &key,
                                       SocketState &c) {
  const std::string_view fn = call.line.function;
  const int direction = call.shape.direction;
  if (fn == "accept" || fn == "WSAAccept") {
    if (call.numeric) Accept(call, at, key);
  } else if (fn.substr(0, 12) == "WSAConnectBy") {
    ConnectedBy(call, origin, c);
  } else if (fn == "AcceptEx") {
    // Accepted at once: the line names no address, so the listener's is
    // the local one and the peer's is made up.
    std::int64_t into = 0;
    if (!Integer(call.args, 1, into)) return true;
    AcceptEx(origin, key, into, {}, {});
    Move(origin, Key{key.first, into}, false, Address{}, false, -1);
  } else if (MovesByDump(fn)) {
    const bool peek = false;  // WSARecv's flags are passed by address
    Move(origin, key, direction > 0, AddressArg(call.args, call.shape.address),
         peek, -1);
  } else if (fn == "splice") {
    // Bytes the trace never dumps: the stream goes on without them.
    if (call.numeric && call.result > 0 && c.kind != SocketKind::Excluded) {
      ++tally_.undumped_calls;
      tally_.undumped_call_bytes += static_cast<std::uint64_t>(call.result);
    }
  } else if (direction != 0) {
    // An mmsg call that moved no message is one line for its vector, with
    // the vector's length where a message's address stands.
    std::int64_t vlen = 0;
    const bool vector =
        fn.size() == 8 && fn.substr(4) == "mmsg" && Integer(call.args, 2, vlen);
    if (call.numeric && call.result >= 0 && !vector)
      AddTransfer(call.line, origin, key, call.result);
  } else {
    return false;
  }
  return true;
}

// Connected when it returns, with both ends as it wrote them (or the local
// one made up when it names none).
void SocketTable::ConnectedBy(const CallLine &call, const Origin &origin,
                              SocketState &c) {
  const Address peer = AddressArg(call.args, call.shape.address);
  if (c.started || ExcludedBy(c, peer)) return;
  c.kind = SocketKind::Tcp;
  Learn(c, AddressArg(call.args, call.shape.address - 1), true);
  Learn(c, peer, false);
  EnsureStarted(c, origin);
}

void SocketTable::StateCall(const CallLine &call, const Origin &origin,
                            const Key &key, SocketState &c) {
  const std::string_view fn = call.line.function;
  if (fn == "bind" || fn == "getsockname") {
    const Address a = AddressArg(call.args, call.shape.address);
    if (!ExcludedBy(c, a)) Learn(c, a, true);
  } else if (fn == "getpeername") {
    const Address a = AddressArg(call.args, call.shape.address);
    if (ExcludedBy(c, a)) return;
    Learn(c, a, false);
    if (c.connecting) EnsureStarted(c, origin);
  } else if (fn == "listen") {
    c.kind = SocketKind::Tcp;
  } else if (fn == "DisconnectEx") {
    // The connection ends; the socket may accept or connect again.
    if (c.kind == SocketKind::Tcp && c.started) events_.Close(c, origin);
    Forget(key);
  } else if (fn == "shutdown") {
    std::int64_t how = 0;
    if (c.connected) EnsureStarted(c, origin);
    if (c.kind == SocketKind::Tcp && c.started && Integer(call.args, 1, how) &&
        (how == kShutdownSend || how == kShutdownBoth))
      events_.ShutdownSend(c, origin);
  }
}

void SocketTable::SocketPair(const ParsedLine &line) {
  // socketpair(family, type, protocol, [a, b]): both ends are local to
  // the program, with no IP traffic between them.
  // The list is the last argument; its ends may carry labels, brackets
  // and all.
  CallArgs args;
  if (!nqtrace::SplitArgs(line.args, args) || args.count == 0) return;
  std::string_view list = args.items[args.count - 1];
  if (list.size() < 2 || list.front() != '[' || list.back() != ']') return;
  list = list.substr(1, list.size() - 2);
  CallArgs ends;
  if (!SplitArgs(list, ends)) return;
  for (std::size_t i = 0; i < ends.count; ++i) {
    std::int64_t handle = 0;
    if (!ParseInteger(ends.items[i], handle)) continue;
    Exclude(Opened(Key{std::string(line.module), handle}), LeftOut::Pair);
  }
}

void SocketTable::Accept(const CallLine &call, const Origin &at,
                         const Key &key) {
  Opened(Key{key.first, call.result});
  Accepted(at, key, call.result, Address{},
           AddressArg(call.args, call.shape.address));
}

void SocketTable::AcceptEx(const Origin &at, const Key &listener,
                           std::int64_t into, const Address &local,
                           const Address &peer) {
  // AcceptEx accepts into a socket the program made for it beforehand.
  const Key key{listener.first, into};
  const SocketState *made = Find(key);
  if (made == nullptr || !made->open || made->started ||
      made->kind == SocketKind::Excluded)
    Opened(key);
  Accepted(at, listener, into, local, peer);
}

void SocketTable::Accepted(const Origin &at, const Key &listener_key,
                           std::int64_t into, const Address &local,
                           const Address &peer) {
  const SocketState listener = Entry(listener_key);
  const auto a = sockets_.find(Key{listener_key.first, into});
  SocketState &s = a->second;
  if (s.kind == SocketKind::Excluded) return;
  if (listener.kind == SocketKind::Excluded &&
      listener.why != LeftOut::Shared && listener.why != LeftOut::Ports) {
    Exclude(s, listener.why);  // an AF_UNIX listener's connections
    return;
  }
  if (ExcludedBy(s, local) || ExcludedBy(s, peer)) return;
  s.kind = SocketKind::Tcp;
  if (IsIp(local)) {
    Learn(s, local, true);
  } else if (listener.why != LeftOut::Shared) {
    s.local = listener.local;
    s.v6 = listener.v6;
    s.family_known = listener.family_known;
    s.local_ip_known = listener.local_ip_known;
    s.local_port_known = listener.local_port_known;
  }
  if (IsIp(peer) && !IsZero(peer)) Learn(s, peer, false);
  if (!Begin(s, Origin{at.time_us, at.line, a->first.first, at.call, at.thread},
             true))
    Exclude(s, LeftOut::Ports);
}

void SocketTable::Connect(const CallLine &call, const Origin &origin,
                          const Key &key) {
  SocketState &c = Entry(key);
  const ParsedLine &line = call.line;
  const Address to = AddressArg(call.args, call.shape.address);
  if (c.started && c.kind == SocketKind::Udp && line.tag == Tag::Info &&
      IsIp(to) && (to.form == AddressForm::Ipv6) == c.v6) {
    // A datagram socket connects at any time (a server to the client it
    // has heard from): its sends without an address go there from now on.
    SetAddress(c.peer, to);
    c.peer.port = to.port;
    c.peer_known = true;
    return;
  }
  if (c.started || ExcludedBy(c, to)) return;
  if (c.kind == SocketKind::Unknown) c.kind = SocketKind::Tcp;
  if (line.tag == Tag::Info) {
    Learn(c, to, false);
    if (c.kind == SocketKind::Tcp) EnsureStarted(c, origin);
    return;
  }
  if (WouldBlock(line.code) && !c.connecting) {
    // The conversation starts at this first attempt if it completes.
    c.connecting = true;
    c.connect_origin = origin;
    c.connect_call.assign(origin.call);  // the line's text is gone by then
    c.connect_origin.call = c.connect_call;
    Learn(c, to, false);
  } else if (AlreadyConnected(line.code) && c.connecting) {
    EnsureStarted(c, origin);
  } else if (!StillConnecting(line.code) && !WouldBlock(line.code)) {
    c.connecting = false;  // refused, timed out: no conversation
  }
}

void SocketTable::ConnectEx(const CallLine &call, const Origin &origin,
                            const Key &key) {
  SocketState &c = Entry(key);
  const ParsedLine &line = call.line;
  const Address to = AddressArg(call.args, call.shape.address);
  if (c.started || ExcludedBy(c, to)) return;
  c.kind = SocketKind::Tcp;
  if (IsPending(line)) {
    // Connected when its completion says so, with the bytes it sent.
    c.connecting = true;
    c.connect_origin = origin;
    c.connect_call.assign(origin.call);  // the line's text is gone by then
    c.connect_origin.call = c.connect_call;
    Learn(c, to, false);
  } else if (line.tag == Tag::Info) {
    Learn(c, to, false);
    EnsureStarted(c, origin);
    Move(origin, key, true, Address{}, false, -1);
  }
}

void SocketTable::Complete(const ParsedLine &line, const Origin &origin,
                           const Completion &done) {
  const Key key{std::string(line.module), done.socket};
  SocketState &c = Entry(key);
  std::int64_t moved = 0;
  const bool ok =
      line.tag == Tag::Info && ParseInteger(line.result, moved) && moved >= 0;
  const auto to = sent_to_.find({key.first, std::string(done.overlapped)});
  Address named;
  if (to != sent_to_.end()) {
    named = to->second;
    sent_to_.erase(to);
  } else if (done.operation == "WSARecvFrom") {
    named = done.peer;
  }
  if (done.operation == "ConnectEx" && ok && !c.started) {
    if (!c.connecting) {  // its call line is gone: the completion stands in
      c.connect_origin = origin;
      c.connect_call.assign(origin.call);
      c.connect_origin.call = c.connect_call;
    }
    c.connecting = c.connected = true;
  } else if (done.operation == "ConnectEx") {
    c.connecting = false;  // refused, timed out: no conversation
  } else if (done.operation == "DisconnectEx") {
    if (ok && c.kind == SocketKind::Tcp && c.started) events_.Close(c, origin);
    if (ok) Forget(key);
    return;
  }
  if (!ok) return;
  if (done.operation == "AcceptEx") {
    // Without the socket it accepted into, its bytes have no place.
    if (!done.accepted) return;
    AcceptEx(origin, key, done.accepted_socket, done.local, done.peer);
    if (moved > 0)
      Move(origin, Key{key.first, done.accepted_socket}, false, Address{},
           false, moved);
    return;
  }
  // A completion of no bytes is no end of the stream: programs read zero
  // bytes to learn that data has come.
  if (done.direction != 0 && moved > 0)
    Move(origin, key, done.direction > 0, named, false, moved);
}

void SocketTable::AddTransfer(const ParsedLine &line, const Origin &origin,
                              const Key &key, std::int64_t moved) {
  CallArgs args;
  SplitArgs(line.args, args);
  const CallShape shape = ShapeOf(line.function, args);
  // A peeked receive's bytes come again with the next receive: its dump
  // is taken and dropped.
  Move(origin, key, shape.direction > 0, AddressArg(args, shape.address),
       PeeksOnly(line.function, args), moved);
}

void SocketTable::Move(const Origin &origin, const Key &key, bool outgoing,
                       const Address &named, bool peek, std::int64_t moved) {
  SocketState &c = Entry(key);
  ExcludedBy(c, named);
  if (c.kind == SocketKind::Unknown)
    c.kind = IsIp(named) ? SocketKind::Udp : SocketKind::Tcp;
  if (c.kind == SocketKind::Tcp && !peek) {
    EnsureStarted(c, origin);
    if (moved == 0) {
      if (!outgoing && c.started) events_.PeerClosed(c, origin);
      return;
    }
  } else if (c.kind == SocketKind::Udp && !peek && !c.started) {
    // The first datagram's other end is the socket's peer until a connect
    // names another, and on loopback so is its own made-up address.
    if (IsIp(named)) Learn(c, named, false);
    Begin(c, origin, false);
  }

  Transfer t;
  t.key = key;
  t.outgoing = outgoing;
  t.discard = peek;
  t.excluded = c.kind == SocketKind::Excluded;
  t.udp = c.kind == SocketKind::Udp;
  if (t.udp && !t.discard) {
    Endpoint remote = c.peer;
    if (IsIp(named) && (named.form == AddressForm::Ipv6) == c.v6) {
      SetAddress(remote, named);
      remote.port = named.port;
    }
    t.src = outgoing ? c.local : remote;
    t.dst = outgoing ? remote : c.local;
    if (moved == 0) {
      events_.Datagram(origin, t.src, t.dst, nullptr, 0);
      return;
    }
  }
  if (moved == 0) return;
  t.open_ended = moved < 0;
  t.total = t.open_ended ? kOpenEnded : static_cast<std::uint64_t>(moved);
  t.line = origin.line;
  t.time_us = origin.time_us;
  t.call = origin.call;
  t.thread = origin.thread;
  if (!t.discard && !t.excluded && !t.open_ended) ++tally_.transfers;
  if (waiting_.size() == kMaxWaiting)
    DropTransfer(waiting_.begin()->first, true);
  const std::uint64_t order = next_order_++;
  places_.insert(PlaceOf(t, order));
  waiting_.emplace(order, std::move(t));
  c.waiting = order;
}

bool SocketTable::PlaceDump(std::size_t indent, std::uint64_t offset,
                            const std::uint8_t *bytes, std::size_t len) {
  const auto at = places_.lower_bound(Place{indent, offset, len, 0});
  if (at == places_.end() || std::get<0>(*at) != indent ||
      std::get<1>(*at) != offset) {
    ++tally_.unplaced_dumps;
    return false;
  }
  const std::uint64_t order = std::get<3>(*at);
  places_.erase(at);
  Transfer &t = waiting_[order];
  const Origin origin{t.time_us, t.line, t.key.first, t.call, t.thread};
  t.placed += len;
  if (offset == 0 && !t.discard && !t.excluded) ++tally_.placed_dumps;
  // A peek's bytes are taken, so that no other transfer gets them.
  SocketState *c = t.discard ? nullptr : Find(t.key);
  if (c != nullptr) events_.Data(*c, origin, t.outgoing, bytes, len);
  if (c != nullptr && t.udp && !t.excluded)
    TakeDatagramBytes(t, origin, bytes, len);
  if (t.placed < t.total && held_datagrams_ > kMaxHeldDatagrams) {
    places_.insert(PlaceOf(t, order));
    DropTransfer(order, true);
  } else if (t.placed < t.total) {
    places_.insert(PlaceOf(t, order));
  } else {
    if (SocketState *c = Find(t.key)) c->waiting = 0;
    waiting_.erase(order);
  }
  return true;
}

void SocketTable::TakeDatagramBytes(Transfer &t, const Origin &origin,
                                    const std::uint8_t *bytes,
                                    std::size_t len) {
  // A datagram goes out once its bytes are all there. One larger than an
  // IP packet can carry (no system sends it, but a trace can say so) goes
  // out as datagrams of the largest payload, each as soon as its bytes are
  // there, so that no more than one payload of it is ever held.
  held_datagrams_ -= t.datagram.size();
  for (std::size_t from = 0; from < len;) {
    const std::size_t n =
        std::min(len - from, kMaxUdpPayload - t.datagram.size());
    t.datagram.insert(t.datagram.end(), bytes + from, bytes + from + n);
    from += n;
    if (t.datagram.size() == kMaxUdpPayload ||
        (from == len && t.placed == t.total)) {
      events_.Datagram(origin, t.src, t.dst, t.datagram.data(),
                       t.datagram.size());
      t.datagram.clear();
    }
  }
  held_datagrams_ += t.datagram.size();
}

void SocketTable::CutDump(std::size_t indent, std::uint64_t offset,
                          std::uint64_t cut) {
  const auto at = places_.lower_bound(Place{indent, offset, cut, 0});
  if (at == places_.end() || std::get<0>(*at) != indent ||
      std::get<1>(*at) != offset || std::get<2>(*at) != cut)
    return;
  const std::uint64_t order = std::get<3>(*at);
  Transfer &t = waiting_[order];
  if (!t.discard && !t.excluded) {
    ++tally_.cut_dumps;
    tally_.cut_bytes += cut;
    if (t.udp) ++tally_.cut_datagrams;
  }
  if (SocketState *c = t.discard ? nullptr : Find(t.key)) {
    const std::string call =
        t.call + " (" + std::to_string(cut) + " bytes not in the trace)";
    const Origin origin{t.time_us, t.line, t.key.first, call, t.thread};
    events_.Skip(*c, origin, t.outgoing, cut);
  }
  held_datagrams_ -= t.datagram.size();
  places_.erase(at);
  if (SocketState *c = Find(t.key)) c->waiting = 0;
  waiting_.erase(order);
}

void SocketTable::DropDamagedDump(std::size_t indent, std::uint64_t offset) {
  ++tally_.damaged_dumps;
  const auto at = places_.lower_bound(Place{indent, offset, 0, 0});
  if (at != places_.end() && std::get<0>(*at) == indent &&
      std::get<1>(*at) == offset)
    DropTransfer(std::get<3>(*at), false);
}

void SocketTable::Finish() {
  while (!waiting_.empty()) DropTransfer(waiting_.rbegin()->first, true);
  for (const auto &[key, state] : sockets_) events_.Forgotten(state);
  sockets_.clear();
}

}  // namespace nqtrace
