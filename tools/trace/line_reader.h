// Splits a byte stream into lines with a bounded buffer, so a corrupt trace
// with a gigabyte-long "line" costs no more memory than a normal one.
#ifndef NQ_TOOLS_TRACE_LINE_READER_H
#define NQ_TOOLS_TRACE_LINE_READER_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "byte_source.h"

namespace nqtrace {

class LineReader {
 public:
  static constexpr std::size_t kMaxLine = 64 * 1024;

  explicit LineReader(ByteSource &source, std::size_t max_line = kMaxLine,
                      std::size_t chunk_size = 64 * 1024);

  // Fetches the next line without its LF or CR LF ending. The view stays
  // valid until the next call. Returns false once the input is exhausted.
  bool Next(std::string_view &line);

  // The last line had more than max_line bytes: the view holds only the
  // first max_line of them, the rest were skipped up to the newline.
  bool Overlong() const { return overlong_; }

  // The last line had no newline (it ended the input).
  bool Unterminated() const { return unterminated_; }

 private:
  bool Refill();

  ByteSource &source_;
  std::size_t max_line_;
  std::vector<char> chunk_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool eof_ = false;
  std::string line_;
  bool overlong_ = false;
  bool unterminated_ = false;
};

}  // namespace nqtrace

#endif  // NQ_TOOLS_TRACE_LINE_READER_H
