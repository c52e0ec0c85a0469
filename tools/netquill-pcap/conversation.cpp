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

bool Conversation::FillEnds(Capture &capture, bool passive) {
  local.v6 = peer.v6 = v6;
  if (!peer_known) {
    MadeUp(peer, local_ip_known && IsLoopback(local),
           local_ip_known && IsMapped(local), 2);
    peer.port = capture.MadeUpPort();
  }
  if (!local_ip_known) MadeUp(local, IsLoopback(peer), IsMapped(peer), 1);
  if (!local_port_known) local.port = capture.MadeUpPort();
  if (kind != SocketKind::Tcp || capture.ClaimPair(local, peer)) return true;
  // When both ends of a connection are in the trace, the second view to
  // start would share the first one's pair, and a client that connects
  // to one server all day uses up the made-up ports: the connecting side
  // gets another made-up port, as long as one is left.
  return passive ? capture.ClaimWithMadeUpPort(local, peer)
                 : capture.ClaimWithMadeUpPort(peer, local);
}

bool Conversation::Start(Capture &capture, const Origin &origin, bool passive) {
  if (!FillEnds(capture, passive)) return false;
  started = true;
  connecting = false;
  if (kind != SocketKind::Tcp) return true;
  out_seq = capture.NextIsn();
  in_seq = capture.NextIsn();
  if (passive) {
    Segment(capture, origin, false, kTcpSyn, nullptr, 0);
    Segment(capture, origin, true, kTcpSyn | kTcpAck, nullptr, 0);
    Segment(capture, origin, false, kTcpAck, nullptr, 0);
  } else {
    Segment(capture, origin, true, kTcpSyn, nullptr, 0);
    Segment(capture, origin, false, kTcpSyn | kTcpAck, nullptr, 0);
    Segment(capture, origin, true, kTcpAck, nullptr, 0);
  }
  return true;
}

void Conversation::Segment(Capture &capture, const Origin &origin,
                           bool outgoing, std::uint8_t flags,
                           const std::uint8_t *bytes, std::size_t len) {
  TcpSegment s;
  s.src = outgoing ? local : peer;
  s.dst = outgoing ? peer : local;
  std::uint32_t &seq = outgoing ? out_seq : in_seq;
  s.seq = seq;
  s.ack = outgoing ? in_seq : out_seq;
  s.flags = flags;
  capture.Tcp(origin, s, bytes, len);
  seq += static_cast<std::uint32_t>(len);
  if (flags & (kTcpSyn | kTcpFin)) ++seq;
}

void Conversation::Data(Capture &capture, const Origin &origin, bool outgoing,
                        const std::uint8_t *bytes, std::size_t len) {
  for (std::size_t at = 0; at < len; at += kMaxSegment) {
    const std::size_t n = std::min(len - at, kMaxSegment);
    Segment(capture, origin, outgoing, kTcpPsh | kTcpAck, bytes + at, n);
    Segment(capture, origin, !outgoing, kTcpAck, nullptr, 0);
  }
}

void Conversation::Skip(Capture &capture, const Origin &origin, bool outgoing,
                        std::uint64_t len) {
  (outgoing ? out_seq : in_seq) += static_cast<std::uint32_t>(len);
  Segment(capture, origin, !outgoing, kTcpAck, nullptr, 0);
}

void Conversation::ShutdownSend(Capture &capture, const Origin &origin) {
  if (out_fin) return;
  Segment(capture, origin, true, kTcpFin | kTcpAck, nullptr, 0);
  Segment(capture, origin, false, kTcpAck, nullptr, 0);
  out_fin = true;
}

void Conversation::PeerClosed(Capture &capture, const Origin &origin) {
  if (in_fin) return;
  Segment(capture, origin, false, kTcpFin | kTcpAck, nullptr, 0);
  Segment(capture, origin, true, kTcpAck, nullptr, 0);
  in_fin = true;
}

void Conversation::Close(Capture &capture, const Origin &origin) {
  if (!out_fin && !in_fin) {
    // Our FIN, the peer's FIN with its acknowledgement, our last ACK.
    Segment(capture, origin, true, kTcpFin | kTcpAck, nullptr, 0);
    Segment(capture, origin, false, kTcpFin | kTcpAck, nullptr, 0);
    Segment(capture, origin, true, kTcpAck, nullptr, 0);
  } else if (!out_fin) {
    ShutdownSend(capture, origin);
  } else if (!in_fin) {
    PeerClosed(capture, origin);
  }
  out_fin = in_fin = true;
}

}  // namespace nqpcap
