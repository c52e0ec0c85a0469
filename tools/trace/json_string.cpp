#include "json_string.h"

namespace nqtrace {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Bytes that leave the plain run: escaped, or the start of a multi-byte
// sequence to be checked.
bool NeedsCare(unsigned char c) {
  return c < 0x20 || c >= 0x7F || c == '"' || c == '\\';
}

}  // namespace

std::size_t Utf8SequenceLength(std::string_view s) {
  if (s.empty()) return 0;
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

void AppendJsonString(std::string &out, std::string_view s) {
  out.push_back('"');
  std::size_t i = 0;
  while (i < s.size()) {
    // Plain ASCII in one piece: the common case.
    std::size_t run = i;
    while (run < s.size() && !NeedsCare(static_cast<unsigned char>(s[run])))
      ++run;
    out.append(s.data() + i, run - i);
    i = run;
    if (i == s.size()) break;
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    const std::size_t length = c >= 0x80 ? Utf8SequenceLength(s.substr(i)) : 0;
    if (length > 0) {
      out.append(s.data() + i, length);
      i += length;
      continue;
    }
    const char escape[] = {
        '\\', 'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 15]};
    out.append(escape, sizeof escape);
    ++i;
  }
  out.push_back('"');
}

}  // namespace nqtrace
