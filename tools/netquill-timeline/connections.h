// A track per traced socket, from its first call to its close: a span
// named after its handle, counters of the bytes it sent and received (the
// bytes of its dumps, and those a cut dump leaves out), and, when it ends,
// the track's name with its kind and addresses: those of its labels
// (netquill-run -y) where the trace has them, else those the calls gave.
// The socket table (tools/trace) tells it what the calls do; the bytes of
// a TCP socket whose two ends are known also go to the stream flows.
#ifndef NQ_TOOLS_NETQUILL_TIMELINE_CONNECTIONS_H
#define NQ_TOOLS_NETQUILL_TIMELINE_CONNECTIONS_H

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "socket_state.h"
#include "stream_flows.h"
#include "trace_events.h"

namespace nqtimeline {

// Track ids of the sockets, above the made-up process ids.
constexpr std::uint32_t kSocketTid = 2000000000;

class Connections final : public nqtrace::SocketEvents {
 public:
  Connections(TraceEvents &events, StreamFlows &streams,
              std::uint32_t &next_tid)
      : events_(events), streams_(streams), next_tid_(next_tid) {}

  // A line that acts on the socket s of handle: its track begins at the
  // slice when it is new, else goes on to the slice's end.
  void Touch(const nqtrace::SocketState &s, std::string_view module,
             std::int64_t handle, const SliceRef &slice);
  // A label a line gives the socket s ("TCP:[1.2.3.4:5->6.7.8.9:80]"), for
  // its track's name: the latest that shows as many ends as any before it
  // (a socket whose peer has gone keeps the label that named it).
  void Label(const nqtrace::SocketState &s, std::string_view label);
  // The slice of a call line, for the flows of the bytes its dump brings.
  void Remember(std::uint64_t line, const SliceRef &slice);

  bool Start(nqtrace::SocketState &, const nqtrace::Origin &, bool) override {
    return true;  // the ends stay as the trace gives them
  }
  void Data(nqtrace::SocketState &s, const nqtrace::Origin &origin,
            bool outgoing, const std::uint8_t *bytes, std::size_t len) override;
  void Skip(nqtrace::SocketState &s, const nqtrace::Origin &origin,
            bool outgoing, std::uint64_t len) override;
  void Datagram(const nqtrace::Origin &, const nqtrace::Endpoint &,
                const nqtrace::Endpoint &, const std::uint8_t *,
                std::size_t) override {}
  void ShutdownSend(nqtrace::SocketState &, const nqtrace::Origin &) override {}
  void PeerClosed(nqtrace::SocketState &, const nqtrace::Origin &) override {}
  void Close(nqtrace::SocketState &, const nqtrace::Origin &) override {}
  void Forgotten(const nqtrace::SocketState &s) override;

 private:
  struct Connection {
    std::uint32_t pid = 0, tid = 0;
    std::string module;
    std::int64_t handle = 0;
    std::uint64_t last_us = 0;     // end of its latest call
    std::uint64_t counter_us = 0;  // time of its latest counter
    std::uint64_t sent = 0, received = 0;
    std::uint64_t generation[2] = {};  // received, sent: of its streams
    bool claimed[2] = {false, false};
    std::string label;    // as the trace writes it, without "<" and ">"
    int label_ends = -1;  // the ends that label shows; -1: no label
  };

  void Count(const nqtrace::SocketState &s, const nqtrace::Origin &origin,
             bool outgoing, std::uint64_t len);

  TraceEvents &events_;
  StreamFlows &streams_;
  std::uint32_t &next_tid_;
  std::map<std::uint64_t, Connection> open_;  // by SocketState::id
  std::map<std::uint64_t, SliceRef> slices_;  // by line, the latest only
};

}  // namespace nqtimeline

#endif  // NQ_TOOLS_NETQUILL_TIMELINE_CONNECTIONS_H
