#include "connections.h"

#include <algorithm>

#include "endpoint_text.h"

namespace nqtimeline {
namespace {

using nqtrace::LeftOut;
using nqtrace::SocketKind;
using nqtrace::SocketState;

// Call slices kept for the dumps that follow their lines: more than the
// transfers the socket table keeps waiting.
constexpr std::size_t kMaxSlices = 8192;

std::string KindText(const SocketState &s) {
  switch (s.kind) {
    case SocketKind::Tcp:
      return s.v6 ? "TCPv6" : "TCP";
    case SocketKind::Udp:
      return s.v6 ? "UDPv6" : "UDP";
    case SocketKind::Excluded:
      break;
    case SocketKind::Unknown:
      return "socket";
  }
  switch (s.why) {
    case LeftOut::Unix:
      return "UNIX";
    case LeftOut::Pair:
      return "socketpair";
    case LeftOut::Family:
      return "other family";
    case LeftOut::Type:
      return "other type";
    case LeftOut::Shared:
      return "handle shared";
    default:
      return s.v6 ? "TCPv6" : "TCP";
  }
}

std::string LocalText(const SocketState &s) {
  if (!s.local_ip_known && !s.local_port_known) return "?";
  std::string text = EndpointText(s.local);
  if (!s.local_port_known)
    text.replace(text.rfind(':') + 1, std::string::npos, "?");
  return text;
}

// A label's kind and the ends it shows: "TCP:[a->b]", "TCP:[a]",
// "TCP:[->b]", or a bare "TCP" with none.
struct LabelParts {
  std::string_view kind, local, peer;
  bool bracketed = false;
  bool arrow = false;
  int ends = 0;
};

LabelParts SplitLabel(std::string_view label) {
  LabelParts parts;
  parts.kind = label;
  const std::size_t open = label.find(":[");
  if (open == std::string_view::npos || label.back() != ']') return parts;
  const std::string_view inside =
      label.substr(open + 2, label.size() - open - 3);
  const std::size_t arrow = inside.find("->");
  parts.kind = label.substr(0, open);
  parts.bracketed = true;
  parts.local = inside.substr(0, arrow);
  parts.arrow = arrow != std::string_view::npos;
  if (parts.arrow) parts.peer = inside.substr(arrow + 2);
  parts.ends = !parts.local.empty() + !parts.peer.empty();
  return parts;
}

// As a track's name shows it: "TCP a -> b", "TCP a", "TCP ? -> b".
std::string LabelText(std::string_view label) {
  const LabelParts parts = SplitLabel(label);
  std::string text(parts.kind);
  if (!parts.bracketed) return text;
  text += ' ';
  text += parts.local.empty() ? "?" : parts.local;
  if (parts.arrow) {
    text += " -> ";
    text += parts.peer.empty() ? "?" : parts.peer;
  }
  return text;
}

bool EndsKnown(const SocketState &s) {
  return s.kind == SocketKind::Tcp && s.local_ip_known && s.local_port_known &&
         s.peer_known;
}

}  // namespace

void Connections::Touch(const SocketState &s, std::string_view module,
                        std::int64_t handle, const SliceRef &slice) {
  const std::uint64_t end = slice.ts + slice.dur;
  auto it = open_.find(s.id);
  if (it != open_.end()) {
    it->second.last_us = std::max(it->second.last_us, end);
    return;
  }
  Connection &c = open_[s.id];
  c.pid = slice.pid;
  c.tid = next_tid_++;
  c.module.assign(module);
  c.handle = handle;
  c.last_us = end;
  c.counter_us = slice.ts;
  events_.Begin("socket " + std::to_string(handle), c.pid, c.tid, slice.ts);
  events_.Counter("socket " + std::to_string(handle) + " bytes", c.tid, c.pid,
                  c.tid, slice.ts, 0, 0);
}

void Connections::Label(const SocketState &s, std::string_view label) {
  const auto it = open_.find(s.id);
  if (it == open_.end() || label.empty()) return;
  Connection &c = it->second;
  const int ends = SplitLabel(label).ends;
  if (ends < c.label_ends || label == c.label) return;
  c.label.assign(label);
  c.label_ends = ends;
}

void Connections::Remember(std::uint64_t line, const SliceRef &slice) {
  if (slices_.size() >= kMaxSlices) slices_.erase(slices_.begin());
  slices_[line] = slice;
}

void Connections::Count(const SocketState &s, const nqtrace::Origin &origin,
                        bool outgoing, std::uint64_t len) {
  auto it = open_.find(s.id);
  if (it == open_.end() || len == 0) return;
  Connection &c = it->second;
  std::uint64_t &total = outgoing ? c.sent : c.received;
  const std::uint64_t begin = total;
  total += len;
  c.counter_us = std::max(c.counter_us, origin.time_us);
  c.last_us = std::max(c.last_us, c.counter_us);
  events_.Counter("socket " + std::to_string(c.handle) + " bytes", c.tid, c.pid,
                  c.tid, c.counter_us, c.sent, c.received);
  const auto slice = slices_.find(origin.line);
  if (!EndsKnown(s) || slice == slices_.end()) return;
  // The stream from the sender's end to the receiver's.
  const nqtrace::Endpoint &from = outgoing ? s.local : s.peer;
  const nqtrace::Endpoint &to = outgoing ? s.peer : s.local;
  const int side = outgoing ? 1 : 0;
  if (!c.claimed[side]) {
    c.generation[side] = streams_.Claim(from, to, outgoing);
    c.claimed[side] = true;
  }
  streams_.Moved(from, to, c.generation[side], outgoing, begin, total,
                 slice->second);
}

void Connections::Data(SocketState &s, const nqtrace::Origin &origin,
                       bool outgoing, const std::uint8_t *, std::size_t len) {
  Count(s, origin, outgoing, len);
}

void Connections::Skip(SocketState &s, const nqtrace::Origin &origin,
                       bool outgoing, std::uint64_t len) {
  Count(s, origin, outgoing, len);
}

void Connections::Forgotten(const SocketState &s) {
  auto it = open_.find(s.id);
  if (it == open_.end()) return;
  const Connection &c = it->second;
  events_.End(c.pid, c.tid, c.last_us);
  std::string name = c.module + " socket " + std::to_string(c.handle) + ": ";
  if (c.label_ends > 0) {
    name += LabelText(c.label);
  } else {
    name += KindText(s) + " " + LocalText(s);
    name += " -> " + (s.peer_known ? EndpointText(s.peer) : std::string("?"));
  }
  events_.ThreadName(c.pid, c.tid, name);
  open_.erase(it);
}

}  // namespace nqtimeline
