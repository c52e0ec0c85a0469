#include "call_args.h"

#include <algorithm>

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

// a.b.c.d at the front of s; the number of characters it takes, 0 if none.
std::size_t TakeQuad(std::string_view s, std::uint32_t &ip) {
  std::size_t at = 0;
  ip = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (at >= s.size() || s[at] != '.') return 0;
      ++at;
    }
    std::uint64_t v = 0;
    const std::size_t n = TakeDigits(s.substr(at), 3, v);
    if (n == 0 || v > 255) return 0;
    ip = ip << 8 | static_cast<std::uint32_t>(v);
    at += n;
  }
  return at;
}

bool ParseIpv4(std::string_view s, Address &out) {
  std::uint32_t ip = 0;
  const std::size_t quad = TakeQuad(s, ip);
  if (quad == 0 || quad == s.size() || s[quad] != ':') return false;
  s.remove_prefix(quad + 1);
  std::uint64_t port = 0;
  const std::size_t n = TakeDigits(s, 5, port);
  if (n == 0 || n != s.size() || port > 65535) return false;
  out.form = AddressForm::Ipv4;
  out.ip = ip;
  out.port = static_cast<std::uint16_t>(port);
  return true;
}

std::size_t TakeHex(std::string_view s, std::uint32_t &value) {
  std::size_t n = 0;
  value = 0;
  for (; n < s.size() && n < 4; ++n) {
    const char c = s[n];
    const int d = IsDigit(c)               ? c - '0'
                  : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                  : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                           : -1;
    if (d < 0) break;
    value = value << 4 | static_cast<std::uint32_t>(d);
  }
  return n;
}

// [v6]:port or [v6%scope]:port.
bool ParseBracketed(std::string_view s, Address &out) {
  const std::size_t close = s.find(']');
  if (s.empty() || s[0] != '[' || close == std::string_view::npos ||
      s.substr(close, 2) != "]:")
    return false;
  std::string_view host = s.substr(1, close - 1);
  std::uint64_t scope = 0;
  const std::size_t percent = host.find('%');
  if (percent != std::string_view::npos) {
    const std::string_view digits = host.substr(percent + 1);
    if (digits.empty() || TakeDigits(digits, 10, scope) != digits.size() ||
        scope > 0xFFFFFFFFu)
      return false;
    host = host.substr(0, percent);
  }
  std::uint64_t port = 0;
  const std::string_view tail = s.substr(close + 2);
  if (!ParseIpv6(host, out.ip6) || tail.empty() ||
      TakeDigits(tail, 5, port) != tail.size() || port > 65535)
    return false;
  out.form = AddressForm::Ipv6;
  out.scope = static_cast<std::uint32_t>(scope);
  out.port = static_cast<std::uint16_t>(port);
  return true;
}

bool ParseFamily(std::string_view s, Address &out) {
  constexpr std::string_view kHead = "<family ";
  std::uint64_t n = 0;
  if (s.size() < kHead.size() + 2 || s.substr(0, kHead.size()) != kHead ||
      s.back() != '>')
    return false;
  const std::string_view digits =
      s.substr(kHead.size(), s.size() - kHead.size() - 1);
  if (TakeDigits(digits, 10, n) != digits.size() || digits.empty() ||
      n > 0xFFFFFFFFu)
    return false;
  out.form = AddressForm::Family;
  out.family = static_cast<std::uint32_t>(n);
  return true;
}

}  // namespace

bool ParseIpv6(std::string_view s, std::uint8_t (&out)[16]) {
  std::uint8_t bytes[16] = {};
  std::size_t count = 0;  // bytes filled
  std::size_t gap = 16;   // where "::" stands, 16 when it does not
  if (s.substr(0, 2) == "::") {
    gap = 0;
    s.remove_prefix(2);
  }
  while (!s.empty()) {
    std::uint32_t quad = 0;
    if (count <= 12 && TakeQuad(s, quad) == s.size()) {
      for (int i = 3; i >= 0; --i)
        bytes[count++] = static_cast<std::uint8_t>(quad >> (8 * i));
      break;
    }
    std::uint32_t group = 0;
    const std::size_t n = TakeHex(s, group);
    if (n == 0 || count == 16) return false;
    bytes[count++] = static_cast<std::uint8_t>(group >> 8);
    bytes[count++] = static_cast<std::uint8_t>(group);
    s.remove_prefix(n);
    if (s.empty()) break;
    if (s[0] != ':') return false;
    s.remove_prefix(1);
    if (!s.empty() && s[0] == ':') {
      if (gap != 16) return false;
      gap = count;
      s.remove_prefix(1);
    } else if (s.empty()) {
      return false;  // a trailing single colon
    }
  }
  if (gap == 16 ? count != 16 : count > 14) return false;
  const std::size_t tail = count - std::min(gap, count);
  for (std::size_t i = 0; i < 16; ++i) out[i] = 0;
  for (std::size_t i = 0; i < std::min(gap, count); ++i) out[i] = bytes[i];
  for (std::size_t i = 0; i < tail; ++i) out[16 - tail + i] = bytes[gap + i];
  return true;
}

namespace {

bool IsSignedInteger(std::string_view s) {
  if (!s.empty() && s[0] == '-') s.remove_prefix(1);
  if (s.empty()) return false;
  for (char c : s)
    if (!IsDigit(c)) return false;
  return true;
}

}  // namespace

std::size_t SocketLabelLength(std::string_view text) {
  if (text.empty() || text[0] != '<') return 0;
  const std::size_t open = text.find('[');
  const std::size_t first_close = text.find('>');
  if (first_close == std::string_view::npos) return 0;
  if (open == std::string_view::npos || open > first_close)
    return first_close + 1;
  const std::size_t end = text.find("]>", open);
  return end == std::string_view::npos ? 0 : end + 2;
}

bool SplitSocketLabel(std::string_view text, std::string_view &number,
                      std::string_view &label) {
  const std::size_t open = text.find('<');
  label = {};
  number = text;
  // Only a number takes a label: a name in a result ("1.2.3.4 (a1<b>)")
  // may hold the same characters.
  if (open == std::string_view::npos || !IsSignedInteger(text.substr(0, open)))
    return true;
  const std::size_t length = SocketLabelLength(text.substr(open));
  if (length != text.size() - open || length < 3) return false;
  number = text.substr(0, open);
  label = text.substr(open + 1, length - 2);
  return true;
}

bool SplitArgs(std::string_view args, CallArgs &out) {
  out.count = 0;
  if (args.empty()) return true;
  bool quoted = false;
  int depth = 0;
  std::size_t start = 0;
  std::size_t label_at = std::string_view::npos;  // of the current item
  const auto take = [&](std::size_t end) {
    std::string_view item = args.substr(start, end - start);
    std::string_view label;
    if (label_at != std::string_view::npos &&
        IsSignedInteger(item.substr(0, label_at - start)) &&
        SocketLabelLength(args.substr(label_at)) == end - label_at) {
      label = args.substr(label_at + 1, end - label_at - 2);
      item = item.substr(0, label_at - start);
    }
    out.labels[out.count] = label;
    out.items[out.count++] = item;
    label_at = std::string_view::npos;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    // A label after a socket number is skipped whole: a path or an address
    // in it may hold brackets, quotes or ", ".
    if (!quoted && args[i] == '<' && i > start && IsDigit(args[i - 1])) {
      const std::size_t length = SocketLabelLength(args.substr(i));
      if (length != 0) {
        if (label_at == std::string_view::npos) label_at = i;
        i += length - 1;
        continue;
      }
    }
    if (args[i] == '"') quoted = !quoted;
    if (!quoted && args[i] == '[') ++depth;
    if (!quoted && args[i] == ']' && depth > 0) --depth;
    if (quoted || depth > 0 || args[i] != ',' || i + 1 >= args.size() ||
        args[i + 1] != ' ')
      continue;
    if (out.count == kMaxArgs) return false;
    take(i);
    start = i + 2;
  }
  if (out.count == kMaxArgs) return false;
  take(args.size());
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
  } else if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    a.form = AddressForm::Unix;
    a.path = text.substr(1, text.size() - 2);
  } else if (!ParseBracketed(text, a) && !ParseFamily(text, a)) {
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

bool PeeksOnly(std::string_view function, const CallArgs &args) {
  constexpr std::int64_t kMsgPeek = 2;
  std::int64_t flags = 0;
  return function.substr(0, 4) == "recv" && args.count > 3 &&
         ParseInteger(args.items[3], flags) && (flags & kMsgPeek) != 0;
}

}  // namespace nqtrace
