#include "capture.h"

#include <algorithm>
#include <cstdio>

namespace nqpcap {

Capture::Capture(FrameSink &sink)
    : sink_(sink), packet_(kIp6Header + kTcpHeader + kMaxUdpPayload) {}

Capture::EndKey Capture::KeyOf(const Endpoint &e, bool with_port) {
  EndKey k{};
  k[0] = e.v6 ? 6 : 4;
  if (e.v6) {
    for (int i = 0; i < 16; ++i) k[1 + i] = e.ip6[i];
  } else {
    for (int i = 0; i < 4; ++i)
      k[1 + i] = static_cast<std::uint8_t>(e.ip >> (24 - 8 * i));
  }
  if (with_port) {
    k[17] = static_cast<std::uint8_t>(e.port >> 8);
    k[18] = static_cast<std::uint8_t>(e.port);
  }
  return k;
}

void Capture::Tcp(const Origin &origin, const TcpSegment &segment,
                  const std::uint8_t *payload, std::size_t len) {
  Emit(origin, BuildTcp(packet_.data(), segment, ip_id_++, payload, len));
}

void Capture::Udp(const Origin &origin, const Endpoint &src,
                  const Endpoint &dst, const std::uint8_t *payload,
                  std::size_t len) {
  Emit(origin, BuildUdp(packet_.data(), src, dst, ip_id_++, payload, len));
}

std::uint16_t Capture::MadeUpPort() {
  const std::uint16_t port = next_port_;
  next_port_ = next_port_ == 65535 ? 1024 : next_port_ + 1;
  return port;
}

bool Capture::ClaimPair(const Endpoint &a, const Endpoint &b) {
  const EndKey ka = KeyOf(a);
  const EndKey kb = KeyOf(b);
  return pairs_.insert({std::min(ka, kb), std::max(ka, kb)}).second;
}

bool Capture::ClaimWithMadeUpPort(const Endpoint &fixed, Endpoint &moving) {
  const std::pair<EndKey, EndKey> ends{KeyOf(fixed), KeyOf(moving, false)};
  PortSearch &search =
      searches_.try_emplace(ends, PortSearch{next_port_, 0}).first->second;
  while (search.tried < kMadeUpPorts) {
    ++search.tried;
    moving.port = search.next;
    search.next = search.next == 65535 ? 1024 : search.next + 1;
    // A made-up port equal to the other end's would make one end of both.
    if (moving == fixed) continue;
    if (ClaimPair(fixed, moving)) return true;
  }
  return false;
}

void Capture::Emit(const Origin &origin, std::size_t len) {
  last_time_us_ = std::max(last_time_us_, origin.time_us);
  comment_.assign(file_);
  comment_ += ':';
  comment_ += std::to_string(origin.line);
  comment_ += ' ';
  comment_.append(origin.module.data(), origin.module.size());
  if (origin.thread != 0) {
    char id[24];
    std::snprintf(id, sizeof id, " thread 0x%X",
                  static_cast<unsigned>(origin.thread));
    comment_ += id;
  }
  comment_ += ": ";
  comment_ += origin.call;
  sink_.Frame(last_time_us_, packet_.data(), len, comment_,
              FrameIds{process_, origin.thread, origin.module});
  ++frames_;
}

}  // namespace nqpcap
