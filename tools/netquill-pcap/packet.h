// Synthetic IPv4 and IPv6 packets: a TCP segment or a UDP datagram with
// valid header and payload checksums, as a capture of the raw IP layer holds
// them.
#ifndef NQ_TOOLS_NETQUILL_PCAP_PACKET_H
#define NQ_TOOLS_NETQUILL_PCAP_PACKET_H

#include <cstddef>
#include <cstdint>

#include "endpoint.h"
#include "socket_state.h"

namespace nqpcap {

using nqtrace::Endpoint;

constexpr std::uint8_t kTcpFin = 0x01;
constexpr std::uint8_t kTcpSyn = 0x02;
constexpr std::uint8_t kTcpPsh = 0x08;
constexpr std::uint8_t kTcpAck = 0x10;

constexpr std::size_t kIpHeader = 20;
constexpr std::size_t kIp6Header = 40;
constexpr std::size_t kTcpHeader = 20;
constexpr std::size_t kUdpHeader = 8;
// The largest payload an IPv4 packet of 65535 bytes carries over UDP.
using nqtrace::kMaxUdpPayload;
static_assert(kMaxUdpPayload == 65535 - kIpHeader - kUdpHeader,
              "one UDP payload limit");

struct TcpSegment {
  Endpoint src;
  Endpoint dst;
  std::uint32_t seq = 0;
  std::uint32_t ack = 0;
  std::uint8_t flags = 0;
};

// Both write the packet to out, which holds at least the headers plus len
// bytes, and return its length. len is at most kMaxUdpPayload. The packet
// is IPv6 when the source is.
std::size_t BuildTcp(std::uint8_t *out, const TcpSegment &segment,
                     std::uint16_t ip_id, const std::uint8_t *payload,
                     std::size_t len);
std::size_t BuildUdp(std::uint8_t *out, const Endpoint &src,
                     const Endpoint &dst, std::uint16_t ip_id,
                     const std::uint8_t *payload, std::size_t len);

}  // namespace nqpcap

#endif  // NQ_TOOLS_NETQUILL_PCAP_PACKET_H
