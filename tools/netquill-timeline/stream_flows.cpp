#include "stream_flows.h"

#include <algorithm>

namespace nqtimeline {
namespace {

// Streams waiting for their other side, pieces waiting in one stream, and
// address pairs counted: past these the oldest go.
constexpr std::size_t kMaxStreams = 4096;
constexpr std::size_t kMaxPieces = 1024;
constexpr std::size_t kMaxClaims = 65536;

bool SameSlice(const SliceRef &a, const SliceRef &b) {
  return a.pid == b.pid && a.tid == b.tid && a.ts == b.ts && a.dur == b.dur;
}

}  // namespace

StreamFlows::EndKey StreamFlows::KeyOf(const nqtrace::Endpoint &e) {
  EndKey k{};
  k[0] = e.v6 ? 6 : 4;
  for (int i = 0; i < 16; ++i)
    k[1 + i] =
        e.v6 ? e.ip6[i]
             : static_cast<std::uint8_t>(i < 4 ? e.ip >> (24 - 8 * i) : 0);
  k[17] = static_cast<std::uint8_t>(e.port >> 8);
  k[18] = static_cast<std::uint8_t>(e.port);
  return k;
}

std::uint64_t StreamFlows::Claim(const nqtrace::Endpoint &from,
                                 const nqtrace::Endpoint &to, bool sender) {
  auto &claims = claims_[sender ? 1 : 0];
  if (claims.size() >= kMaxClaims) claims.clear();
  return claims[{KeyOf(from), KeyOf(to)}]++;
}

StreamFlows::Stream &StreamFlows::StreamAt(const Key &key) {
  auto it = streams_.find(key);
  if (it != streams_.end()) return it->second;
  if (streams_.size() >= kMaxStreams) {
    streams_.erase(order_.front());
    order_.pop_front();
  }
  order_.push_back(key);
  return streams_[key];
}

void StreamFlows::Flow(Stream &s, const SliceRef &from, const SliceRef &to) {
  if (s.any && SameSlice(s.last_from, from) && SameSlice(s.last_to, to)) return;
  s.any = true;
  s.last_from = from;
  s.last_to = to;
  events_.Flow("bytes", next_flow_++, from, to);
  ++flows_;
}

void StreamFlows::Moved(const nqtrace::Endpoint &from,
                        const nqtrace::Endpoint &to, std::uint64_t generation,
                        bool sent, std::uint64_t begin, std::uint64_t end,
                        const SliceRef &slice) {
  if (end <= begin) return;
  Stream &s = StreamAt(Key{KeyOf(from), KeyOf(to), generation});
  std::deque<Piece> &mine = sent ? s.sends : s.receives;
  std::deque<Piece> &theirs = sent ? s.receives : s.sends;
  for (const Piece &p : theirs) {
    if (p.begin >= end) break;
    if (p.end > begin) Flow(s, sent ? slice : p.slice, sent ? p.slice : slice);
  }
  std::uint64_t &mine_to = sent ? s.sent_to : s.received_to;
  const std::uint64_t theirs_to = sent ? s.received_to : s.sent_to;
  mine_to = std::max(mine_to, end);
  // What the other side has passed is matched with all it will ever be.
  while (!theirs.empty() && theirs.front().end <= mine_to) theirs.pop_front();
  if (end <= theirs_to) return;
  if (!mine.empty() && mine.back().end == begin &&
      SameSlice(mine.back().slice, slice)) {
    mine.back().end = end;  // a long dump's next piece
    return;
  }
  if (mine.size() >= kMaxPieces) mine.pop_front();
  mine.push_back(Piece{begin, end, slice});
}

}  // namespace nqtimeline
