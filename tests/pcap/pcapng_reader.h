// Reads back the captures netquill-pcap writes, independently of its
// writer: blocks, frames, their comments and the IPv4, IPv6, TCP and UDP
// headers.
#ifndef NQ_TESTS_PCAP_PCAPNG_READER_H
#define NQ_TESTS_PCAP_PCAPNG_READER_H

#include <cstdint>
#include <string>
#include <vector>

namespace nqpcaptest {

struct Frame {
  std::uint64_t time_us = 0;
  std::string comment;
  bool has_ids = false;  // the process and thread id option is there
  std::uint32_t process = 0, thread = 0;
  // Which process description the frame names; its process, looked up.
  long description = -1;
  std::string described;  // "pid name" of that description
  bool v6 = false;
  std::uint32_t src_ip = 0, dst_ip = 0;
  std::string src6, dst6;  // IPv6: the 16 address bytes
  std::uint8_t proto = 0;  // 6 TCP, 17 UDP
  std::uint16_t src_port = 0, dst_port = 0;
  std::uint32_t seq = 0, ack = 0;
  std::uint8_t flags = 0;  // TCP
  std::string payload;
  bool checksums_ok = false;  // IP header and TCP or UDP
};

struct Capture {
  bool ok = false;  // every block well-formed
  std::string error;
  std::uint16_t link_type = 0;
  std::vector<Frame> frames;
  // The process event blocks in file order: "pid name", each written
  // before the first frame that names it.
  std::vector<std::string> processes;
};

Capture ReadCapture(const std::string &bytes);

// "SYN", "SYN,ACK", "PSH,ACK", "FIN,ACK", "ACK": for compact expectations.
std::string FlagText(std::uint8_t flags);

// One line per frame: "src:port > dst:port FLAGS seq ack len" with the
// sequence numbers relative to each side's SYN; IPv6 addresses in brackets,
// every group written out.
std::vector<std::string> Describe(const Capture &capture);

}  // namespace nqpcaptest

#endif  // NQ_TESTS_PCAP_PCAPNG_READER_H
