// JSON text written through a buffer to a stdio stream. Strings take any
// bytes, escaped as json_string.h says.
#ifndef NQ_TOOLS_NETQUILL_JSON_JSON_OUT_H
#define NQ_TOOLS_NETQUILL_JSON_JSON_OUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "json_string.h"

namespace nqjson {

class JsonOut {
 public:
  explicit JsonOut(std::FILE *file);
  ~JsonOut() { Flush(); }
  JsonOut(const JsonOut &) = delete;
  JsonOut &operator=(const JsonOut &) = delete;

  void Raw(std::string_view text) { buffer_.append(text); }
  void Raw(char c) { buffer_.push_back(c); }
  // "text" with quotes, escaped.
  void String(std::string_view bytes) {
    nqtrace::AppendJsonString(buffer_, bytes);
  }
  void Int(std::int64_t value);
  // Lower-case hex digits, two per byte, without quotes.
  void Hex(const unsigned char *bytes, std::size_t count);
  // "key": before a value; a comma first unless it opens the object.
  void Key(std::string_view key, bool first = false);

  // Hands the buffer to the stream once it is large; Flush always.
  void MaybeFlush() {
    if (buffer_.size() >= kFlushAt) Flush();
  }
  bool Flush();
  bool Failed() const { return failed_; }

 private:
  static constexpr std::size_t kFlushAt = 256 * 1024;
  std::FILE *file_;
  std::string buffer_;
  bool failed_ = false;
};

}  // namespace nqjson

#endif  // NQ_TOOLS_NETQUILL_JSON_JSON_OUT_H
