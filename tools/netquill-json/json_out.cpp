#include "json_out.h"

namespace nqjson {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

JsonOut::JsonOut(std::FILE *file) : file_(file) {
  buffer_.reserve(kFlushAt + 64 * 1024);
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
