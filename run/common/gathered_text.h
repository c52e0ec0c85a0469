// Record text a launcher gathers for one file at a time, handed to its
// write in one piece when the file changes, the buffer fills or the pass
// ends: one append for a pass's records rather than one for each.
#ifndef NQ_RUN_COMMON_GATHERED_TEXT_H
#define NQ_RUN_COMMON_GATHERED_TEXT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace nqring {

// write(key, text, length) appends text to the file key names (the
// records' process with one file per process, else 0). Kept in the
// launcher's static storage, which the Windows launcher, with no C
// run-time start, never constructs: it holds nothing but zeroes at first.
class GatheredText {
 public:
  // Gathers text for key's file; larger than the buffer, it is written at
  // once, after what was gathered before it.
  template <typename WriteFn>
  void Add(std::uint32_t key, const char *text, std::size_t length,
           WriteFn write) {
    if (key != key_ || gathered_ + length > sizeof buffer_) Flush(write);
    key_ = key;
    if (length > sizeof buffer_) {
      write(key, text, length);
      return;
    }
    std::memcpy(buffer_ + gathered_, text, length);
    gathered_ += length;
  }

  template <typename WriteFn>
  void Flush(WriteFn write) {
    if (gathered_ > 0) write(key_, buffer_, gathered_);
    gathered_ = 0;
  }

 private:
  std::uint32_t key_ = 0;
  std::size_t gathered_ = 0;
  char buffer_[256 * 1024];
};

}  // namespace nqring

#endif  // NQ_RUN_COMMON_GATHERED_TEXT_H
