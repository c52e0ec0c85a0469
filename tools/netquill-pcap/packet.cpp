#include "packet.h"

#include <cstring>

namespace nqpcap {
namespace {

constexpr std::uint8_t kProtoTcp = 6;
constexpr std::uint8_t kProtoUdp = 17;
constexpr std::uint8_t kTtl = 64;

void Put16(std::uint8_t *p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}

void Put32(std::uint8_t *p, std::uint32_t v) {
  Put16(p, v >> 16);
  Put16(p + 2, v & 0xFFFF);
}

// The one's complement sum of big-endian 16-bit words, not yet folded.
std::uint64_t Sum(const std::uint8_t *p, std::size_t len, std::uint64_t acc) {
  std::size_t i = 0;
  for (; i + 8 <= len; i += 8)
    acc += (std::uint32_t{p[i]} << 8 | p[i + 1]) +
           (std::uint32_t{p[i + 2]} << 8 | p[i + 3]) +
           (std::uint32_t{p[i + 4]} << 8 | p[i + 5]) +
           (std::uint32_t{p[i + 6]} << 8 | p[i + 7]);
  for (; i + 1 < len; i += 2) acc += std::uint32_t{p[i]} << 8 | p[i + 1];
  if (i < len) acc += std::uint32_t{p[i]} << 8;
  return acc;
}

std::uint16_t Fold(std::uint64_t acc) {
  while (acc >> 16) acc = (acc & 0xFFFF) + (acc >> 16);
  return static_cast<std::uint16_t>(~acc & 0xFFFF);
}

void PutIp4(std::uint8_t *out, std::uint32_t src, std::uint32_t dst,
            std::uint8_t proto, std::uint16_t id, std::size_t total) {
  out[0] = 0x45;  // version 4, 20-byte header
  out[1] = 0;
  Put16(out + 2, static_cast<std::uint32_t>(total));
  Put16(out + 4, id);
  Put16(out + 6, 0x4000);  // don't fragment
  out[8] = kTtl;
  out[9] = proto;
  Put16(out + 10, 0);
  Put32(out + 12, src);
  Put32(out + 16, dst);
  Put16(out + 10, Fold(Sum(out, kIpHeader, 0)));
}

void PutIp6(std::uint8_t *out, const Endpoint &src, const Endpoint &dst,
            std::uint8_t proto, std::size_t payload) {
  Put32(out, 0x60000000);  // version 6, no traffic class or flow label
  Put16(out + 4, static_cast<std::uint32_t>(payload));
  out[6] = proto;
  out[7] = kTtl;
  std::memcpy(out + 8, src.ip6, 16);
  std::memcpy(out + 24, dst.ip6, 16);
}

// Writes the IP header of either version; returns its length.
std::size_t PutIp(std::uint8_t *out, const Endpoint &src, const Endpoint &dst,
                  std::uint8_t proto, std::uint16_t id, std::size_t payload) {
  if (src.v6) {
    PutIp6(out, src, dst, proto, payload);
    return kIp6Header;
  }
  PutIp4(out, src.ip, dst.ip, proto, id, kIpHeader + payload);
  return kIpHeader;
}

// The pseudo-header the TCP and UDP checksums cover.
std::uint64_t PseudoSum(const Endpoint &src, const Endpoint &dst,
                        std::uint8_t proto, std::size_t len) {
  if (src.v6) return Sum(src.ip6, 16, Sum(dst.ip6, 16, 0)) + proto + len;
  return (src.ip >> 16) + (src.ip & 0xFFFF) + (dst.ip >> 16) +
         (dst.ip & 0xFFFF) + proto + len;
}

}  // namespace

std::size_t BuildTcp(std::uint8_t *out, const TcpSegment &s,
                     std::uint16_t ip_id, const std::uint8_t *payload,
                     std::size_t len) {
  std::uint8_t *t =
      out + PutIp(out, s.src, s.dst, kProtoTcp, ip_id, kTcpHeader + len);
  Put16(t, s.src.port);
  Put16(t + 2, s.dst.port);
  Put32(t + 4, s.seq);
  Put32(t + 8, (s.flags & kTcpAck) ? s.ack : 0);
  t[12] = (kTcpHeader / 4) << 4;
  t[13] = s.flags;
  Put16(t + 14, 65535);  // window
  Put16(t + 16, 0);
  Put16(t + 18, 0);
  if (len != 0) std::memcpy(t + kTcpHeader, payload, len);
  const std::uint64_t acc =
      Sum(t, kTcpHeader + len,
          PseudoSum(s.src, s.dst, kProtoTcp, kTcpHeader + len));
  Put16(t + 16, Fold(acc));
  return static_cast<std::size_t>(t - out) + kTcpHeader + len;
}

std::size_t BuildUdp(std::uint8_t *out, const Endpoint &src,
                     const Endpoint &dst, std::uint16_t ip_id,
                     const std::uint8_t *payload, std::size_t len) {
  std::uint8_t *u =
      out + PutIp(out, src, dst, kProtoUdp, ip_id, kUdpHeader + len);
  Put16(u, src.port);
  Put16(u + 2, dst.port);
  Put16(u + 4, static_cast<std::uint32_t>(kUdpHeader + len));
  Put16(u + 6, 0);
  if (len != 0) std::memcpy(u + kUdpHeader, payload, len);
  std::uint16_t sum = Fold(Sum(
      u, kUdpHeader + len, PseudoSum(src, dst, kProtoUdp, kUdpHeader + len)));
  Put16(u + 6, sum == 0 ? 0xFFFF : sum);  // 0 would mean "no checksum"
  return static_cast<std::size_t>(u - out) + kUdpHeader + len;
}

}  // namespace nqpcap
