// JSON text written through a buffer to a stdio stream. Strings take any
// bytes: valid UTF-8 passes as it is, every byte that does not begin a
// valid UTF-8 sequence becomes \u00XX (the character Latin-1 gives that
// byte), so the output is always valid UTF-8 whatever the trace holds.
#ifndef NQ_TOOLS_NETQUILL_JSON_JSON_OUT_H
#define NQ_TOOLS_NETQUILL_JSON_JSON_OUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

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
  void String(std::string_view bytes);
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

// The length of the valid UTF-8 sequence at the front of s, 0 if none
// (an overlong form, a surrogate, a code point above U+10FFFF, a cut or
// stray continuation byte).
std::size_t Utf8SequenceLength(std::string_view s);

}  // namespace nqjson

#endif  // NQ_TOOLS_NETQUILL_JSON_JSON_OUT_H
