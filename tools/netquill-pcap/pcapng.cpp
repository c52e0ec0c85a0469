#include "pcapng.h"

#include <algorithm>

namespace nqpcap {
namespace {

constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceDescription = 1;
constexpr std::uint32_t kEnhancedPacket = 6;
constexpr std::uint32_t kDecryptionSecrets = 10;
constexpr std::uint32_t kTlsKeyLog = 0x544c534b;  // "TLSK"
// Apple's process event block and the packet option that points at it:
// the process id, then the name as an option.
constexpr std::uint32_t kProcessEvent = 0x80000001;
constexpr std::uint16_t kProcessName = 2;
constexpr std::uint16_t kEpbProcessEventIndex = 0x8001;
constexpr std::uint16_t kLinkTypeRaw = 101;  // packets start at the IP header
constexpr std::uint16_t kOptEnd = 0;
constexpr std::uint16_t kOptComment = 1;
constexpr std::uint16_t kEpbProcessIdThreadId = 8;  // two 32-bit ids
constexpr std::uint16_t kShbUserApplication = 4;
constexpr std::uint16_t kIfTsResolution = 9;
constexpr char kApplication[] = "netquill-pcap";

// pcapng files are written in the writer's byte order; this one always
// writes little-endian, which readers tell from the byte-order magic.
void Put16(std::vector<std::uint8_t> &b, std::uint32_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}

void Put32(std::vector<std::uint8_t> &b, std::uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

void Pad(std::vector<std::uint8_t> &b) {
  while (b.size() % 4 != 0) b.push_back(0);
}

void PutOption(std::vector<std::uint8_t> &b, std::uint16_t code,
               const void *value, std::size_t len) {
  Put16(b, code);
  Put16(b, static_cast<std::uint32_t>(len));
  const auto *p = static_cast<const std::uint8_t *>(value);
  b.insert(b.end(), p, p + len);
  Pad(b);
}

void Begin(std::vector<std::uint8_t> &b, std::uint32_t type) {
  b.clear();
  Put32(b, type);
  Put32(b, 0);  // total length, filled in by End
}

void End(std::vector<std::uint8_t> &b) {
  Put32(b, static_cast<std::uint32_t>(b.size() + 4));
  const std::uint32_t total = static_cast<std::uint32_t>(b.size());
  for (int i = 0; i < 4; ++i)
    b[4 + i] = static_cast<std::uint8_t>(total >> (8 * i));
}

}  // namespace

PcapngWriter::PcapngWriter(std::FILE *out) : out_(out) {
  Begin(block_, kSectionHeader);
  Put32(block_, 0x1A2B3C4D);  // byte-order magic
  Put16(block_, 1);           // version 1.0
  Put16(block_, 0);
  Put32(block_, 0xFFFFFFFF);  // section length not given
  Put32(block_, 0xFFFFFFFF);
  PutOption(block_, kShbUserApplication, kApplication, sizeof kApplication - 1);
  PutOption(block_, kOptEnd, nullptr, 0);
  End(block_);
  Write(block_);

  Begin(block_, kInterfaceDescription);
  Put16(block_, kLinkTypeRaw);
  Put16(block_, 0);
  Put32(block_, 0);              // no snapshot length limit
  const std::uint8_t micro = 6;  // 10^-6 s
  PutOption(block_, kIfTsResolution, &micro, 1);
  PutOption(block_, kOptEnd, nullptr, 0);
  End(block_);
  Write(block_);
}

long PcapngWriter::DescribeProcess(const FrameIds &ids) {
  // A file's frames come in runs of one process: the last one first.
  auto same = [&](std::size_t i) {
    return described_[i].process == ids.process &&
           described_[i].name == ids.process_name;
  };
  if (last_described_ < described_.size() && same(last_described_))
    return static_cast<long>(last_described_);
  for (std::size_t i = 0; i < described_.size(); ++i) {
    if (same(i)) return static_cast<long>(last_described_ = i);
  }
  if (described_.size() == kMaxProcesses) return -1;
  Begin(block_, kProcessEvent);
  Put32(block_, ids.process);
  if (!ids.process_name.empty())
    PutOption(block_, kProcessName, ids.process_name.data(),
              std::min<std::size_t>(ids.process_name.size(), 65535));
  PutOption(block_, kOptEnd, nullptr, 0);
  End(block_);
  Write(block_);
  described_.push_back({ids.process, std::string(ids.process_name)});
  last_described_ = described_.size() - 1;
  return static_cast<long>(last_described_);
}

void PcapngWriter::Frame(std::uint64_t time_us, const std::uint8_t *packet,
                         std::size_t len, std::string_view comment,
                         const FrameIds &ids) {
  const long description = ids.process != 0 ? DescribeProcess(ids) : -1;
  Begin(block_, kEnhancedPacket);
  Put32(block_, 0);  // interface
  Put32(block_, static_cast<std::uint32_t>(time_us >> 32));
  Put32(block_, static_cast<std::uint32_t>(time_us));
  Put32(block_, static_cast<std::uint32_t>(len));
  Put32(block_, static_cast<std::uint32_t>(len));
  block_.insert(block_.end(), packet, packet + len);
  Pad(block_);
  if (!comment.empty())
    PutOption(block_, kOptComment, comment.data(),
              std::min<std::size_t>(comment.size(), 65535));
  if (ids.process != 0 || ids.thread != 0) {
    // In the section's byte order, as every other number of the file.
    Put16(block_, kEpbProcessIdThreadId);
    Put16(block_, 8);
    Put32(block_, ids.process);
    Put32(block_, ids.thread);
  }
  if (description >= 0) {
    const std::uint32_t index = static_cast<std::uint32_t>(description);
    Put16(block_, kEpbProcessEventIndex);
    Put16(block_, 4);
    Put32(block_, index);
  }
  PutOption(block_, kOptEnd, nullptr, 0);
  End(block_);
  Write(block_);
}

void PcapngWriter::TlsKeys(std::string_view keylog) {
  if (keylog.empty()) return;
  Begin(block_, kDecryptionSecrets);
  Put32(block_, kTlsKeyLog);
  Put32(block_, static_cast<std::uint32_t>(keylog.size()));
  block_.insert(block_.end(), keylog.begin(), keylog.end());
  Pad(block_);
  End(block_);
  Write(block_);
}

void PcapngWriter::Write(const std::vector<std::uint8_t> &block) {
  if (ok_ && std::fwrite(block.data(), 1, block.size(), out_) != block.size())
    ok_ = false;
}

}  // namespace nqpcap
