// What the tools know of one traced socket as its calls go by, and the
// events through which a tool turns that into its own output (frames of a
// capture, tracks of a timeline). The socket table (socket_table.h) keeps
// these states and calls the events.
#ifndef NQ_TOOLS_TRACE_SOCKET_STATE_H
#define NQ_TOOLS_TRACE_SOCKET_STATE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "endpoint.h"

namespace nqtrace {

// The largest payload an IPv4 packet of 65535 bytes carries over UDP
// (less its 20-byte IP and 8-byte UDP headers).
constexpr std::size_t kMaxUdpPayload = 65535 - 20 - 8;

// The trace line an event comes from.
struct Origin {
  std::uint64_t time_us = 0;
  std::uint64_t line = 0;
  std::string_view module;
  std::string_view call;     // the line's text after its tag
  std::uint32_t thread = 0;  // the tracing thread's id; 0: not known
};

enum class SocketKind { Unknown, Tcp, Udp, Excluded };

// Why a socket carries no IP conversation; the notes count each reason.
enum class LeftOut {
  None,
  Unix,    // AF_UNIX: no IP traffic to show
  Pair,    // an end of socketpair (AF_UNIX on the systems that trace)
  Family,  // another family than IPv4 and IPv6
  Type,    // neither stream nor datagram
  Shared,  // its handle was opened again while still open
  Ports,   // the events found no pair of ends for it (SocketEvents::Start)
  kCount,
};

struct SocketState {
  std::uint64_t id = 0;  // one number per socket in the table, never reused
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

  bool started = false;      // its conversation has begun
  bool ends_fixed = false;   // the events fixed its ends when it began:
                             // later lines no longer change them
  bool connecting = false;   // a non-blocking connect is under way
  Origin connect_origin;     // its first attempt
  std::string connect_call;  //   and the text of its line
  bool connected = false;    // ConnectEx completed: the conversation
                             // begins at the first event that needs it,
                             // so that a later getsockname still names
                             // the local end
};

// What the socket table tells its tool. Every call gets the state of the
// socket it concerns, as the table holds it at that moment.
class SocketEvents {
 public:
  virtual ~SocketEvents() = default;
  // The conversation of s begins; passive: the peer opened it (accept).
  // The events may fill in s's unknown ends, and set s.ends_fixed. False
  // when they cannot take it: the table leaves the socket out (Ports).
  virtual bool Start(SocketState &s, const Origin &origin, bool passive) = 0;
  // Bytes of a dump, in order, for any socket but a peek's: outgoing are
  // s's own sends. A UDP socket's also come whole through Datagram.
  virtual void Data(SocketState &s, const Origin &origin, bool outgoing,
                    const std::uint8_t *bytes, std::size_t len) = 0;
  // Bytes a cut dump leaves out, in their place in the stream.
  virtual void Skip(SocketState &s, const Origin &origin, bool outgoing,
                    std::uint64_t len) = 0;
  // One UDP datagram whose bytes are all there (at most kMaxUdpPayload).
  virtual void Datagram(const Origin &origin, const Endpoint &src,
                        const Endpoint &dst, const std::uint8_t *bytes,
                        std::size_t len) = 0;
  // shutdown(how 1 or 2) of a started TCP socket: its side ends.
  virtual void ShutdownSend(SocketState &s, const Origin &origin) = 0;
  // A receive of 0 bytes on a started TCP socket: the peer's side ended.
  virtual void PeerClosed(SocketState &s, const Origin &origin) = 0;
  // closesocket or DisconnectEx of a started TCP socket.
  virtual void Close(SocketState &s, const Origin &origin) = 0;
  // The table lets go of s: closed, its handle opened anew, or the end of
  // the file. Nothing more comes for s.id.
  virtual void Forgotten(const SocketState &s) = 0;
};

}  // namespace nqtrace

#endif  // NQ_TOOLS_TRACE_SOCKET_STATE_H
