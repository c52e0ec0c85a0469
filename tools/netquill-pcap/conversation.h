// One traced socket seen from its own side: its sends go out, its receives
// come in. A TCP conversation opens with a handshake (the socket's own SYN
// after connect, the peer's after accept), carries data with consistent
// sequence and acknowledgement numbers (every segment acknowledged at once,
// so the window never fills), and closes with FINs.
#ifndef NQ_TOOLS_NETQUILL_PCAP_CONVERSATION_H
#define NQ_TOOLS_NETQUILL_PCAP_CONVERSATION_H

#include <cstddef>
#include <cstdint>

#include "capture.h"
#include "packet.h"

namespace nqpcap {

enum class SocketKind { Unknown, Tcp, Udp, Excluded };

// Segments stay well below the 65535-byte window.
constexpr std::size_t kMaxSegment = 16384;

struct Conversation {
  SocketKind kind = SocketKind::Unknown;
  Endpoint local;
  Endpoint peer;
  bool local_ip_known = false;  // from bind, getsockname or accept
  bool local_port_known = false;
  bool peer_known = false;  // from connect, accept, getpeername

  bool started = false;       // frames written: the ends are fixed
  bool connecting = false;    // a non-blocking connect is under way
  Origin connect_origin;      // its first attempt
  std::uint32_t out_seq = 0;  // next sequence number of each side
  std::uint32_t in_seq = 0;
  bool out_fin = false;
  bool in_fin = false;

  // Fills in the ends the trace does not hold and, for TCP, writes the
  // handshake. passive: the peer opened the connection (accept).
  void Start(Capture &capture, const Origin &origin, bool passive);
  // TCP data; outgoing is the socket's own send.
  void Data(Capture &capture, const Origin &origin, bool outgoing,
            const std::uint8_t *bytes, std::size_t len);
  void ShutdownSend(Capture &capture, const Origin &origin);
  void PeerClosed(Capture &capture, const Origin &origin);
  void Close(Capture &capture, const Origin &origin);

 private:
  void Segment(Capture &capture, const Origin &origin, bool outgoing,
               std::uint8_t flags, const std::uint8_t *bytes, std::size_t len);
  void FillEnds(Capture &capture, bool passive);
};

}  // namespace nqpcap

#endif  // NQ_TOOLS_NETQUILL_PCAP_CONVERSATION_H
