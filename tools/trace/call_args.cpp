#include "call_args.h"

namespace nqtrace {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads up to max_digits decimal digits at the front of s into value.
std::size_t TakeDigits(std::string_view s, std::size_t max_digits,
                       std::uint64_t &value) {
  std::size_t n = 0;
  value = 0;
  while (n < s.size() && n < max_digits && IsDigit(s[n]))
    value = value * 10 + static_cast<unsigned>(s[n++] - '0');
  return n;
}

bool ParseIpv4(std::string_view s, Address &out) {
  std::uint32_t ip = 0;
  for (int part = 0; part < 4; ++part) {
    std::uint64_t v = 0;
    const std::size_t n = TakeDigits(s, 3, v);
    if (n == 0 || v > 255) return false;
    ip = ip << 8 | static_cast<std::uint32_t>(v);
    s.remove_prefix(n);
    const char sep = part < 3 ? '.' : ':';
    if (s.empty() || s[0] != sep) return false;
    s.remove_prefix(1);
  }
  std::uint64_t port = 0;
  const std::size_t n = TakeDigits(s, 5, port);
  if (n == 0 || n != s.size() || port > 65535) return false;
  out.form = AddressForm::Ipv4;
  out.ip = ip;
  out.port = static_cast<std::uint16_t>(port);
  return true;
}

}  // namespace

bool SplitArgs(std::string_view args, CallArgs &out) {
  out.count = 0;
  if (args.empty()) return true;
  bool quoted = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == '"') quoted = !quoted;
    if (quoted || args[i] != ',' || i + 1 >= args.size() || args[i + 1] != ' ')
      continue;
    if (out.count == kMaxArgs) return false;
    out.items[out.count++] = args.substr(start, i - start);
    start = i + 2;
  }
  if (out.count == kMaxArgs) return false;
  out.items[out.count++] = args.substr(start);
  return true;
}

bool ParseShortAddress(std::string_view text, std::int32_t &length) {
  constexpr std::string_view kTail = " bytes>";
  if (text.size() <= 1 + kTail.size() || text.front() != '<' ||
      text.substr(text.size() - kTail.size()) != kTail)
    return false;
  std::string_view digits = text.substr(1, text.size() - 1 - kTail.size());
  const bool negative = digits.front() == '-';
  if (negative) digits.remove_prefix(1);
  std::uint64_t n = 0;
  if (digits.empty() || TakeDigits(digits, 10, n) != digits.size() ||
      n > (negative ? 2147483648u : 2147483647u))
    return false;
  length = static_cast<std::int32_t>(negative ? -static_cast<std::int64_t>(n)
                                              : static_cast<std::int64_t>(n));
  return true;
}

Address ParseAddress(std::string_view text) {
  Address a;
  if (text == "NULL") {
    a.form = AddressForm::Null;
  } else if (ParseShortAddress(text, a.length)) {
    a.form = AddressForm::Short;
  } else {
    ParseIpv4(text, a);
  }
  return a;
}

bool ParseInteger(std::string_view text, std::int64_t &value) {
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  std::uint64_t v = 0;
  if (text.empty() || TakeDigits(text, 18, v) != text.size()) return false;
  value =
      negative ? -static_cast<std::int64_t>(v) : static_cast<std::int64_t>(v);
  return true;
}

}  // namespace nqtrace
