#include "written_parts.h"

namespace nqring {

WrittenPart *NoteWrite(RecordsShare &share, const Ring &ring, std::uint32_t key,
                       std::uint64_t at, std::uint64_t bytes) {
  const std::uint64_t from =
      ring.control()->released.load(std::memory_order_relaxed);
  const std::uint32_t n = share.written_parts.load(std::memory_order_relaxed);
  if (n > kWrittenParts) return nullptr;
  WrittenPart *part = nullptr;
  if (n < kWrittenParts) {
    part = &share.written[n];
    *part = WrittenPart{from, key, 0, at, bytes};
  }
  // Past the room, the count says that some were not noted.
  share.written_parts.store(n + 1, std::memory_order_release);
  return part;
}

void ForgetWrites(RecordsShare &share) {
  share.written_parts.store(0, std::memory_order_release);
}

void WrittenBefore::Expect(const RecordsShare &share, const Ring &ring) {
  const std::uint64_t from =
      ring.control()->released.load(std::memory_order_acquire);
  const std::uint32_t n = share.written_parts.load(std::memory_order_acquire);
  count_ = 0;
  for (std::uint32_t i = 0; i < n && n <= kWrittenParts; ++i) {
    const WrittenPart &part = share.written[i];
    // A note from before the latest release is of records written and
    // given back.
    if (part.from == from && part.bytes != 0)
      expected_[count_++] = Expected{part.key, part.at, part.bytes};
  }
}

std::size_t WrittenBefore::Already(std::uint32_t key, const char *text,
                                   std::size_t length, ReadFileAt read,
                                   void *context) {
  for (std::size_t part = 0; part < count_; ++part) {
    Expected &e = expected_[part];
    if (e.bytes == 0 || e.key != key) continue;
    std::uint64_t size = 0;
    std::size_t same = 0;
    char there[4096];
    while (same < length) {
      const std::size_t n =
          length - same < sizeof there ? length - same : sizeof there;
      const long got = read(context, key, e.at + same, there, n, &size);
      std::size_t i = 0;
      while (got > 0 && i < static_cast<std::size_t>(got) &&
             there[i] == text[same + i])
        ++i;
      same += i;
      if (i < n) break;
    }
    if (same == length && length <= e.bytes) {
      e.at += length;
      e.bytes -= length;
      return length;
    }
    const bool cut_short = e.at + same == size;
    for (std::size_t later = part; later < count_; ++later)
      if (expected_[later].key == key) expected_[later].bytes = 0;
    return cut_short ? same : 0;
  }
  return 0;
}

}  // namespace nqring
