#include "conversation.h"

#include <algorithm>

namespace nqpcap {
namespace {

// Addresses for ends the trace does not hold, from the ranges set aside for
// documentation: clearly not a real host.
constexpr std::uint32_t kMadeUpLocal = 0xC0000201;  // 192.0.2.1
constexpr std::uint32_t kMadeUpPeer = 0xC0000202;   // 192.0.2.2
constexpr std::uint32_t kLoopback = 0x7F000001;     // 127.0.0.1

// ::ffff:a.b.c.d, an IPv4 end as an IPv6 socket sees it.
bool IsMapped(const Endpoint &e) {
  if (!e.v6) return false;
  for (int i = 0; i < 10; ++i)
    if (e.ip6[i] != 0) return false;
  return e.ip6[10] == 0xFF && e.ip6[11] == 0xFF;
}

bool IsLoopback(const Endpoint &e) {
  if (!e.v6) return e.ip >> 24 == 127;
  if (IsMapped(e)) return e.ip6[12] == 127;
  for (int i = 0; i < 15; ++i)
    if (e.ip6[i] != 0) return false;
  return e.ip6[15] == 1;
}

// 2001:db8::n, or ::1 on loopback; beside a v4-mapped end, the IPv4
// address mapped the same way.
void MadeUp(Endpoint &e, bool loopback, bool mapped, std::uint8_t n) {
  if (!e.v6) {
    e.ip = loopback ? kLoopback : n == 1 ? kMadeUpLocal : kMadeUpPeer;
    return;
  }
  for (std::uint8_t &b : e.ip6) b = 0;
  if (mapped) {
    const std::uint32_t ip = loopback ? kLoopback
                             : n == 1 ? kMadeUpLocal
                                      : kMadeUpPeer;
    e.ip6[10] = e.ip6[11] = 0xFF;
    for (int i = 0; i < 4; ++i)
      e.ip6[12 + i] = static_cast<std::uint8_t>(ip >> (24 - 8 * i));
    return;
  }
  if (!loopback) {
    e.ip6[0] = 0x20;
    e.ip6[1] = 0x01;
    e.ip6[2] = 0x0D;
    e.ip6[3] = 0xB8;
  }
  e.ip6[15] = loopback ? 1 : n;
}

}  // namespace

bool Conversations::FillEnds(SocketState &s, bool passive) {
  s.local.v6 = s.peer.v6 = s.v6;
  if (!s.peer_known) {
    MadeUp(s.peer, s.local_ip_known && IsLoopback(s.local),
           s.local_ip_known && IsMapped(s.local), 2);
    s.peer.port = capture_.MadeUpPort();
  }
  if (!s.local_ip_known)
    MadeUp(s.local, IsLoopback(s.peer), IsMapped(s.peer), 1);
  if (!s.local_port_known) s.local.port = capture_.MadeUpPort();
  if (s.kind != SocketKind::Tcp || capture_.ClaimPair(s.local, s.peer))
    return true;
  // When both ends of a connection are in the trace, the second view to
  // start would share the first one's pair, and a client that connects
  // to one server all day uses up the made-up ports: the connecting side
  // gets another made-up port, as long as one is left.
  return passive ? capture_.ClaimWithMadeUpPort(s.local, s.peer)
                 : capture_.ClaimWithMadeUpPort(s.peer, s.local);
}

bool Conversations::Start(SocketState &s, const Origin &origin, bool passive) {
  if (!FillEnds(s, passive)) return false;
  // The frames use these ends from now on, whatever later lines say.
  s.ends_fixed = true;
  if (s.kind != SocketKind::Tcp) return true;
  Stream &stream = streams_[s.id];
  stream.out_seq = capture_.NextIsn();
  stream.in_seq = capture_.NextIsn();
  if (passive) {
    Segment(s, stream, origin, false, kTcpSyn, nullptr, 0);
    Segment(s, stream, origin, true, kTcpSyn | kTcpAck, nullptr, 0);
    Segment(s, stream, origin, false, kTcpAck, nullptr, 0);
  } else {
    Segment(s, stream, origin, true, kTcpSyn, nullptr, 0);
    Segment(s, stream, origin, false, kTcpSyn | kTcpAck, nullptr, 0);
    Segment(s, stream, origin, true, kTcpAck, nullptr, 0);
  }
  return true;
}

Conversations::Stream *Conversations::StreamOf(const SocketState &s) {
  if (s.kind != SocketKind::Tcp || !s.started) return nullptr;
  auto it = streams_.find(s.id);
  return it == streams_.end() ? nullptr : &it->second;
}

void Conversations::Segment(const SocketState &s, Stream &stream,
                            const Origin &origin, bool outgoing,
                            std::uint8_t flags, const std::uint8_t *bytes,
                            std::size_t len) {
  TcpSegment t;
  t.src = outgoing ? s.local : s.peer;
  t.dst = outgoing ? s.peer : s.local;
  std::uint32_t &seq = outgoing ? stream.out_seq : stream.in_seq;
  t.seq = seq;
  t.ack = outgoing ? stream.in_seq : stream.out_seq;
  t.flags = flags;
  capture_.Tcp(origin, t, bytes, len);
  seq += static_cast<std::uint32_t>(len);
  if (flags & (kTcpSyn | kTcpFin)) ++seq;
}

void Conversations::Data(SocketState &s, const Origin &origin, bool outgoing,
                         const std::uint8_t *bytes, std::size_t len) {
  Stream *stream = StreamOf(s);
  if (stream == nullptr) return;
  for (std::size_t at = 0; at < len; at += kMaxSegment) {
    const std::size_t n = std::min(len - at, kMaxSegment);
    Segment(s, *stream, origin, outgoing, kTcpPsh | kTcpAck, bytes + at, n);
    Segment(s, *stream, origin, !outgoing, kTcpAck, nullptr, 0);
  }
}

void Conversations::Skip(SocketState &s, const Origin &origin, bool outgoing,
                         std::uint64_t len) {
  Stream *stream = StreamOf(s);
  if (stream == nullptr) return;
  (outgoing ? stream->out_seq : stream->in_seq) +=
      static_cast<std::uint32_t>(len);
  Segment(s, *stream, origin, !outgoing, kTcpAck, nullptr, 0);
}

void Conversations::Datagram(const Origin &origin, const Endpoint &src,
                             const Endpoint &dst, const std::uint8_t *bytes,
                             std::size_t len) {
  capture_.Udp(origin, src, dst, bytes, len);
}

void Conversations::ShutdownSend(SocketState &s, const Origin &origin) {
  if (Stream *stream = StreamOf(s)) ShutdownSend(s, *stream, origin);
}

void Conversations::ShutdownSend(const SocketState &s, Stream &stream,
                                 const Origin &origin) {
  if (stream.out_fin) return;
  Segment(s, stream, origin, true, kTcpFin | kTcpAck, nullptr, 0);
  Segment(s, stream, origin, false, kTcpAck, nullptr, 0);
  stream.out_fin = true;
}

void Conversations::PeerClosed(SocketState &s, const Origin &origin) {
  if (Stream *stream = StreamOf(s)) PeerClosed(s, *stream, origin);
}

void Conversations::PeerClosed(const SocketState &s, Stream &stream,
                               const Origin &origin) {
  if (stream.in_fin) return;
  Segment(s, stream, origin, false, kTcpFin | kTcpAck, nullptr, 0);
  Segment(s, stream, origin, true, kTcpAck, nullptr, 0);
  stream.in_fin = true;
}

void Conversations::Close(SocketState &s, const Origin &origin) {
  Stream *stream = StreamOf(s);
  if (stream == nullptr) return;
  if (!stream->out_fin && !stream->in_fin) {
    // Our FIN, the peer's FIN with its acknowledgement, our last ACK.
    Segment(s, *stream, origin, true, kTcpFin | kTcpAck, nullptr, 0);
    Segment(s, *stream, origin, false, kTcpFin | kTcpAck, nullptr, 0);
    Segment(s, *stream, origin, true, kTcpAck, nullptr, 0);
  } else if (!stream->out_fin) {
    ShutdownSend(s, *stream, origin);
  } else if (!stream->in_fin) {
    PeerClosed(s, *stream, origin);
  }
  stream->out_fin = stream->in_fin = true;
}

void Conversations::Forgotten(const SocketState &s) { streams_.erase(s.id); }

}  // namespace nqpcap
