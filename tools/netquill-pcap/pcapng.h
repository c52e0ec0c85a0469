// The capture file: a pcapng section with one raw-IPv4 interface and an
// enhanced packet block per frame, each carrying a comment and, where the
// trace tells them, the ids of the process and thread of its call.
#ifndef NQ_TOOLS_NETQUILL_PCAP_PCAPNG_H
#define NQ_TOOLS_NETQUILL_PCAP_PCAPNG_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

namespace nqpcap {

// The process and thread a frame's call ran in; 0 where the trace does not
// tell.
struct FrameIds {
  std::uint32_t process = 0;
  std::uint32_t thread = 0;
};

// Where frames go: the pcapng file, or a list in tests.
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // time_us: microseconds since 1970-01-01 00:00:00.
  virtual void Frame(std::uint64_t time_us, const std::uint8_t *packet,
                     std::size_t len, std::string_view comment,
                     const FrameIds &ids) = 0;
};

class PcapngWriter final : public FrameSink {
 public:
  // Writes the section header and the interface description at once.
  explicit PcapngWriter(std::FILE *out);
  // Ids known in part go into the block's process and thread option, the
  // unknown one as 0; none known, no option.
  void Frame(std::uint64_t time_us, const std::uint8_t *packet, std::size_t len,
             std::string_view comment, const FrameIds &ids) override;
  // A Decryption Secrets Block of TLS key log lines (NSS format, one per
  // line), so that readers decrypt the TLS conversations of the capture
  // with no other file. Written before the frames it serves: readers take
  // secrets as they meet them.
  void TlsKeys(std::string_view keylog);
  // False once a write has failed (disk full, closed pipe).
  bool Ok() const { return ok_; }

 private:
  void Write(const std::vector<std::uint8_t> &block);

  std::FILE *out_;
  std::vector<std::uint8_t> block_;  // reused for every block
  bool ok_ = true;
};

}  // namespace nqpcap

#endif  // NQ_TOOLS_NETQUILL_PCAP_PCAPNG_H
