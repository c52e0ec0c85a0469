#include "line_reader.h"

#include <algorithm>
#include <cstring>

namespace nqtrace {

LineReader::LineReader(ByteSource &source, std::size_t max_line,
                       std::size_t chunk_size)
    : source_(source),
      max_line_(max_line),
      chunk_(std::max<std::size_t>(chunk_size, 1)) {
  line_.reserve(std::min<std::size_t>(max_line_ + 1, 4096));
}

bool LineReader::Refill() {
  if (eof_) return false;
  end_ = source_.Read(chunk_.data(), chunk_.size());
  pos_ = 0;
  if (end_ == 0) eof_ = true;
  return end_ != 0;
}

bool LineReader::Next(std::string_view &line) {
  line_.clear();
  overlong_ = false;
  unterminated_ = false;
  // One byte past max_line is kept so that a CR before the LF of a line of
  // exactly max_line bytes does not make it look overlong.
  const std::size_t keep = max_line_ + 1;
  bool dropped = false;
  bool any = false;
  for (;;) {
    if (pos_ == end_ && !Refill()) {
      if (!any) return false;
      unterminated_ = true;
      break;
    }
    any = true;
    const char *begin = chunk_.data() + pos_;
    const std::size_t avail = end_ - pos_;
    const void *nl = std::memchr(begin, '\n', avail);
    const std::size_t len =
        nl ? static_cast<std::size_t>(static_cast<const char *>(nl) - begin)
           : avail;
    const std::size_t room = keep - line_.size();
    if (len > room) dropped = true;
    line_.append(begin, std::min(len, room));
    pos_ += nl ? len + 1 : len;
    if (nl) break;
  }
  if (!dropped && !line_.empty() && line_.back() == '\r') line_.pop_back();
  if (dropped || line_.size() > max_line_) {
    overlong_ = true;
    line_.resize(max_line_);
  }
  line = line_;
  return true;
}

}  // namespace nqtrace
