// Flows from a send to the receives of the same bytes, when both sides of
// a TCP connection are in the traces: the side that sends from A to B and
// the side that receives from A to B are paired by their addresses (the
// k-th connection between A and B that one side holds with the k-th the
// other holds), and each send flows into every receive whose byte offsets
// overlap its own. Either side may come first (two -ff files are read one
// after the other); what is kept waiting for the other side is bounded.
#ifndef NQ_TOOLS_NETQUILL_TIMELINE_STREAM_FLOWS_H
#define NQ_TOOLS_NETQUILL_TIMELINE_STREAM_FLOWS_H

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <string_view>
#include <tuple>
#include <utility>

#include "endpoint.h"
#include "trace_events.h"

namespace nqtimeline {

class StreamFlows {
 public:
  StreamFlows(TraceEvents &events, std::uint64_t &next_flow)
      : events_(events), next_flow_(next_flow) {}

  // The number of this side's connection from `from` to `to` among those
  // it holds: 0 for the first, 1 for the next.
  std::uint64_t Claim(const nqtrace::Endpoint &from,
                      const nqtrace::Endpoint &to, bool sender);

  // Bytes begin..end of the stream from `from` to `to`, sent or received
  // by the line of slice.
  void Moved(const nqtrace::Endpoint &from, const nqtrace::Endpoint &to,
             std::uint64_t generation, bool sent, std::uint64_t begin,
             std::uint64_t end, const SliceRef &slice);

  std::uint64_t Flows() const { return flows_; }

 private:
  using EndKey = std::array<std::uint8_t, 19>;  // family, address, port
  using Key = std::tuple<EndKey, EndKey, std::uint64_t>;
  struct Piece {
    std::uint64_t begin = 0, end = 0;
    SliceRef slice;
  };
  struct Stream {
    std::deque<Piece> sends, receives;  // by offset, still to be matched
    std::uint64_t sent_to = 0;          // the furthest offset of each side
    std::uint64_t received_to = 0;
    SliceRef last_from, last_to;  // the last flow, not written twice
    bool any = false;
  };

  static EndKey KeyOf(const nqtrace::Endpoint &e);
  Stream &StreamAt(const Key &key);
  void Flow(Stream &s, const SliceRef &from, const SliceRef &to);

  TraceEvents &events_;
  std::uint64_t &next_flow_;
  std::uint64_t flows_ = 0;
  std::map<Key, Stream> streams_;
  std::deque<Key> order_;  // the streams, oldest first
  std::map<std::pair<EndKey, EndKey>, std::uint64_t> claims_[2];
};

}  // namespace nqtimeline

#endif  // NQ_TOOLS_NETQUILL_TIMELINE_STREAM_FLOWS_H
