// Record text a launcher gathers for one file at a time, handed to its
// write in one piece when the file changes, the buffer fills or the pass
// ends: one append for a pass's records rather than one for each.
#ifndef NQ_RUN_COMMON_GATHERED_TEXT_H
#define NQ_RUN_COMMON_GATHERED_TEXT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace nqring {

// files.Write(key, text, length) appends text to the file key names (the
// records' process with one file per process, else 0) and says how many
// bytes it appended: each record not appended whole is counted lost. Kept
// in the launcher's static storage, which the Windows launcher, with no C
// run-time start, never constructs: it holds nothing but zeroes at first.
class GatheredText {
 public:
  // Gathers a record's text for key's file; larger than the buffer, it is
  // written at once, after what was gathered before it.
  template <typename Files>
  void Add(std::uint32_t key, const char *text, std::size_t length,
           Files &files) {
    if (key != key_ || gathered_ + length > sizeof buffer_ ||
        records_ == kMostRecords)
      Flush(files);
    key_ = key;
    if (length > sizeof buffer_) {
      if (files.Write(key, text, length) < length) ++lost_;
      return;
    }
    std::memcpy(buffer_ + gathered_, text, length);
    gathered_ += length;
    ends_[records_++] = static_cast<std::uint32_t>(gathered_);
  }

  template <typename Files>
  void Flush(Files &files) {
    if (gathered_ > 0) {
      const std::size_t appended = files.Write(key_, buffer_, gathered_);
      for (std::size_t i = records_; i > 0 && ends_[i - 1] > appended; --i)
        ++lost_;
    }
    gathered_ = 0;
    records_ = 0;
  }

  // The records not appended whole, ever.
  std::uint64_t lost() const { return lost_; }

 private:
  static constexpr std::size_t kMostRecords = 8192;
  std::uint32_t key_ = 0;
  std::size_t gathered_ = 0;
  std::size_t records_ = 0;
  std::uint64_t lost_ = 0;
  std::uint32_t ends_[kMostRecords];  // where each record ends in buffer_
  char buffer_[256 * 1024];
};

}  // namespace nqring

#endif  // NQ_RUN_COMMON_GATHERED_TEXT_H
