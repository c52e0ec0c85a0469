// The frames of each traced socket, seen from its own side: its sends go
// out, its receives come in. A TCP conversation opens with a handshake
// (the socket's own SYN after connect, the peer's after accept), carries
// data with consistent sequence and acknowledgement numbers (every segment
// acknowledged at once, so the window never fills), and closes with FINs.
// The socket table (tools/trace) says when; this writes the frames.
#ifndef NQ_TOOLS_NETQUILL_PCAP_CONVERSATION_H
#define NQ_TOOLS_NETQUILL_PCAP_CONVERSATION_H

#include <cstddef>
#include <cstdint>
#include <map>

#include "capture.h"
#include "packet.h"
#include "socket_state.h"

namespace nqpcap {

using nqtrace::LeftOut;
using nqtrace::SocketKind;
using nqtrace::SocketState;

// Segments stay well below the 65535-byte window.
constexpr std::size_t kMaxSegment = 16384;

class Conversations final : public nqtrace::SocketEvents {
 public:
  explicit Conversations(Capture &capture) : capture_(capture) {}

  // Fills in the ends the trace does not hold and fixes them; for TCP,
  // writes the handshake. False, with nothing written, when no pair of
  // ends is left for it.
  bool Start(SocketState &s, const Origin &origin, bool passive) override;
  // TCP data; a UDP socket's bytes go out through Datagram.
  void Data(SocketState &s, const Origin &origin, bool outgoing,
            const std::uint8_t *bytes, std::size_t len) override;
  // Bytes the trace leaves out: the sender's sequence numbers step over
  // them, and the other side acknowledges them in one frame of origin.
  void Skip(SocketState &s, const Origin &origin, bool outgoing,
            std::uint64_t len) override;
  void Datagram(const Origin &origin, const Endpoint &src, const Endpoint &dst,
                const std::uint8_t *bytes, std::size_t len) override;
  void ShutdownSend(SocketState &s, const Origin &origin) override;
  void PeerClosed(SocketState &s, const Origin &origin) override;
  void Close(SocketState &s, const Origin &origin) override;
  void Forgotten(const SocketState &s) override;

 private:
  // A started TCP conversation's sequence numbers and FINs.
  struct Stream {
    std::uint32_t out_seq = 0;  // next sequence number of each side
    std::uint32_t in_seq = 0;
    bool out_fin = false;
    bool in_fin = false;
  };

  // The stream of a started TCP conversation; null for any other.
  Stream *StreamOf(const SocketState &s);
  void Segment(const SocketState &s, Stream &stream, const Origin &origin,
               bool outgoing, std::uint8_t flags, const std::uint8_t *bytes,
               std::size_t len);
  void ShutdownSend(const SocketState &s, Stream &stream, const Origin &origin);
  void PeerClosed(const SocketState &s, Stream &stream, const Origin &origin);
  bool FillEnds(SocketState &s, bool passive);

  Capture &capture_;
  std::map<std::uint64_t, Stream> streams_;  // by SocketState::id
};

}  // namespace nqpcap

#endif  // NQ_TOOLS_NETQUILL_PCAP_CONVERSATION_H
