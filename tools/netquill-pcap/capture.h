// The frames of the whole output: times that never run backwards, the
// comment of each frame, IP ids, and the made-up ports and the address
// pairs in use, so that no two conversations share one in Wireshark's eyes.
#ifndef NQ_TOOLS_NETQUILL_PCAP_CAPTURE_H
#define NQ_TOOLS_NETQUILL_PCAP_CAPTURE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "banner.h"
#include "packet.h"
#include "pcapng.h"
#include "socket_state.h"

namespace nqpcap {

// The trace line a frame comes from.
using nqtrace::Origin;

class Capture {
 public:
  explicit Capture(FrameSink &sink);

  // Names the trace file that the following frames' comments cite, and
  // takes the id of their process from its name.
  void BeginFile(std::string label) {
    process_ = nqtrace::ProcessOfTraceName(label);
    file_ = std::move(label);
  }

  void Tcp(const Origin &origin, const TcpSegment &segment,
           const std::uint8_t *payload, std::size_t len);
  void Udp(const Origin &origin, const Endpoint &src, const Endpoint &dst,
           const std::uint8_t *payload, std::size_t len);

  // How many ports MadeUpPort goes through before it repeats one.
  static constexpr std::uint32_t kMadeUpPorts = 65536 - 1024;

  // Ports for ends the trace does not name: 49152 upwards in the order
  // they are needed, skipping none, then from 1024 after 65535.
  std::uint16_t MadeUpPort();

  // Takes the pair of ends for one TCP conversation; false if the pair (in
  // either direction) already had one in this capture, which Wireshark
  // would merge with it or report as reused ports.
  bool ClaimPair(const Endpoint &a, const Endpoint &b);

  // A TCP conversation between fixed and the address of moving with a
  // made-up port for moving: false once every made-up port has been
  // tried against fixed, so that the next one gives up at once.
  bool ClaimWithMadeUpPort(const Endpoint &fixed, Endpoint &moving);

  std::uint64_t FrameCount() const { return frames_; }
  std::uint32_t NextIsn() { return isn_ += 0x01000193; }

 private:
  void Emit(const Origin &origin, std::size_t len);

  FrameSink &sink_;
  std::string file_;
  std::uint32_t process_ = 0;  // of the file's frames; 0: not known
  std::uint64_t last_time_us_ = 0;
  std::uint64_t frames_ = 0;
  std::uint16_t ip_id_ = 0;
  std::uint16_t next_port_ = 49152;
  std::uint32_t isn_ = 0x10000000;
  std::vector<std::uint8_t> packet_;
  std::string comment_;
  using EndKey = std::array<std::uint8_t, 19>;  // family, address, port
  static EndKey KeyOf(const Endpoint &e, bool with_port = true);
  std::set<std::pair<EndKey, EndKey>> pairs_;
  // Where the made-up ports between a fixed end and a moving address go
  // on: each search starts after the ports the ones before it tried, so
  // a pair taken is passed over once, not at every search.
  struct PortSearch {
    std::uint16_t next = 0;
    std::uint32_t tried = 0;  // kMadeUpPorts: every port has been taken
  };
  std::map<std::pair<EndKey, EndKey>, PortSearch> searches_;
};

}  // namespace nqpcap

#endif  // NQ_TOOLS_NETQUILL_PCAP_CAPTURE_H
