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

// Why a socket is not in the capture; the notes count each reason.
enum class LeftOut {
  None,
  Unix,    // AF_UNIX: no IP traffic to show
  Pair,    // an end of socketpair (AF_UNIX on the systems that trace)
  Family,  // another family than IPv4 and IPv6
  Type,    // neither stream nor datagram
  Shared,  // its handle was opened again while still open
  Ports,   // every made-up port towards its peer was taken
  kCount,
};

// Segments stay well below the 65535-byte window.
constexpr std::size_t kMaxSegment = 16384;

struct Conversation {
  SocketKind kind = SocketKind::Unknown;
  LeftOut why = LeftOut::None;  // Excluded only
  bool open = false;            // made by socket/accept, or used by a call that
                                // succeeded, and not closed since
  std::uint32_t opens = 0;      // Shared only: opens the trace shows
  bool v6 = false;              // IPv6: from socket() or its first address
  bool family_known = false;
  std::uint64_t waiting = 0;  // order of its transfer waiting for a dump
  Endpoint local;
  Endpoint peer;
  bool local_ip_known = false;  // from bind, getsockname or accept
  bool local_port_known = false;
  bool peer_known = false;  // from connect, accept, getpeername

  bool started = false;       // frames written: the ends are fixed
  bool connecting = false;    // a non-blocking connect is under way
  Origin connect_origin;      // its first attempt
  bool connected = false;     // ConnectEx completed: frames start at the
                              // first that needs them, so that a later
                              // getsockname still names the local end
  std::uint32_t out_seq = 0;  // next sequence number of each side
  std::uint32_t in_seq = 0;
  bool out_fin = false;
  bool in_fin = false;

  // Fills in the ends the trace does not hold and, for TCP, writes the
  // handshake. passive: the peer opened the connection (accept). False,
  // with nothing written, when no pair of ends is left for it.
  bool Start(Capture &capture, const Origin &origin, bool passive);
  // TCP data; outgoing is the socket's own send.
  void Data(Capture &capture, const Origin &origin, bool outgoing,
            const std::uint8_t *bytes, std::size_t len);
  void ShutdownSend(Capture &capture, const Origin &origin);
  void PeerClosed(Capture &capture, const Origin &origin);
  void Close(Capture &capture, const Origin &origin);

 private:
  void Segment(Capture &capture, const Origin &origin, bool outgoing,
               std::uint8_t flags, const std::uint8_t *bytes, std::size_t len);
  bool FillEnds(Capture &capture, bool passive);
};

}  // namespace nqpcap

#endif  // NQ_TOOLS_NETQUILL_PCAP_CONVERSATION_H
