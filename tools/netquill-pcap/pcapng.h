// The capture file: a pcapng section with one raw-IPv4 interface and an
// enhanced packet block per frame, each carrying a comment and, where the
// trace tells them, the ids of the process and thread of its call. A
// process with a known id is described once, before its first frame, by a
// process event block of the kind Apple's captures brought in (its id and
// name; again under a new name after an exec); Wireshark shows each frame's
// process from it, and readers that do not know the block skip it.
#ifndef NQ_TOOLS_NETQUILL_PCAP_PCAPNG_H
#define NQ_TOOLS_NETQUILL_PCAP_PCAPNG_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace nqpcap {

// The process and thread a frame's call ran in; 0 where the trace does not
// tell.
struct FrameIds {
  std::uint32_t process = 0;
  std::uint32_t thread = 0;
  std::string_view process_name;  // the traced module; may be empty
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
  // unknown one as 0; none known, no option. A known process is described
  // before its first frame and each of its frames names the description.
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
  // The index of the process's description, written now if it is new;
  // -1 once kMaxProcesses are described (the frame keeps its ids).
  long DescribeProcess(const FrameIds &ids);

  // Bounds the writer's memory whatever the traces hold.
  static constexpr std::size_t kMaxProcesses = 4096;

  std::FILE *out_;
  struct Described {
    std::uint32_t process;
    std::string name;
  };
  std::vector<Described> described_;  // by description index
  std::size_t last_described_ = 0;
  std::vector<std::uint8_t> block_;  // reused for every block
  bool ok_ = true;
};

}  // namespace nqpcap

#endif  // NQ_TOOLS_NETQUILL_PCAP_PCAPNG_H
