#include "json_out.h"

namespace nqjson {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

std::size_t Utf8SequenceLength(std::string_view s) {
  const auto at = [&](std::size_t i) {
    return static_cast<unsigned char>(s[i]);
  };
  const unsigned char c = at(0);
  if (c < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;   // no overlong forms
    if (c == 0xED) high = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;   // no overlong forms
    if (c == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < length || at(1) < low || at(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (!IsContinuation(at(i))) return 0;
  return length;
}

JsonOut::JsonOut(std::FILE *file) : file_(file) {
  buffer_.reserve(kFlushAt + 64 * 1024);
}

void JsonOut::String(std::string_view s) {
  buffer_.push_back('"');
  std::size_t i = 0;
  while (i < s.size()) {
    // Plain ASCII in one piece: the common case.
    std::size_t run = i;
    while (run < s.size()) {
      const auto c = static_cast<unsigned char>(s[run]);
      if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
      ++run;
    }
    buffer_.append(s.data() + i, run - i);
    i = run;
    if (i == s.size()) break;
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\') {
      buffer_.push_back('\\');
      buffer_.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    const std::size_t length = c >= 0x80 ? Utf8SequenceLength(s.substr(i)) : 0;
    if (length > 0) {
      buffer_.append(s.data() + i, length);
      i += length;
      continue;
    }
    const char escape[] = {
        '\\', 'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 15]};
    buffer_.append(escape, sizeof escape);
    ++i;
  }
  buffer_.push_back('"');
}

void JsonOut::Int(std::int64_t value) {
  char digits[24];
  std::size_t n = 0;
  std::uint64_t v = value < 0 ? 0 - static_cast<std::uint64_t>(value)
                              : static_cast<std::uint64_t>(value);
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  if (value < 0) buffer_.push_back('-');
  while (n > 0) buffer_.push_back(digits[--n]);
}

void JsonOut::Hex(const unsigned char *bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    buffer_.push_back(kHexDigits[bytes[i] >> 4]);
    buffer_.push_back(kHexDigits[bytes[i] & 15]);
  }
}

void JsonOut::Key(std::string_view key, bool first) {
  if (!first) buffer_.push_back(',');
  buffer_.push_back('"');
  buffer_.append(key);
  buffer_.append("\":");
}

bool JsonOut::Flush() {
  if (!buffer_.empty() &&
      std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size())
    failed_ = true;
  buffer_.clear();
  if (std::fflush(file_) != 0) failed_ = true;
  return !failed_;
}

}  // namespace nqjson
