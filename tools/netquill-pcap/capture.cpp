#include "capture.h"

#include <algorithm>

namespace nqpcap {
namespace {

std::uint64_t Key(Endpoint e) { return std::uint64_t{e.ip} << 16 | e.port; }

}  // namespace

Capture::Capture(FrameSink &sink)
    : sink_(sink), packet_(kIpHeader + kTcpHeader + kMaxUdpPayload) {}

void Capture::Tcp(const Origin &origin, const TcpSegment &segment,
                  const std::uint8_t *payload, std::size_t len) {
  Emit(origin, BuildTcp(packet_.data(), segment, ip_id_++, payload, len));
}

void Capture::Udp(const Origin &origin, Endpoint src, Endpoint dst,
                  const std::uint8_t *payload, std::size_t len) {
  Emit(origin, BuildUdp(packet_.data(), src, dst, ip_id_++, payload, len));
}

std::uint16_t Capture::MadeUpPort() {
  const std::uint16_t port = next_port_;
  next_port_ = next_port_ == 65535 ? 49152 : next_port_ + 1;
  return port;
}

bool Capture::ClaimPair(Endpoint a, Endpoint b) {
  const std::uint64_t ka = Key(a);
  const std::uint64_t kb = Key(b);
  return pairs_.insert({std::min(ka, kb), std::max(ka, kb)}).second;
}

void Capture::Emit(const Origin &origin, std::size_t len) {
  last_time_us_ = std::max(last_time_us_, origin.time_us);
  comment_.assign(file_);
  comment_ += ':';
  comment_ += std::to_string(origin.line);
  comment_ += ' ';
  comment_.append(origin.module.data(), origin.module.size());
  sink_.Frame(last_time_us_, packet_.data(), len, comment_);
  ++frames_;
}

}  // namespace nqpcap
