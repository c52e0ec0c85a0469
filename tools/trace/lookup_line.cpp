#include "lookup_line.h"

#include "call_args.h"

namespace nqtrace {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool Take(std::string_view &s, std::string_view prefix) {
  if (s.substr(0, prefix.size()) != prefix) return false;
  s.remove_prefix(prefix.size());
  return true;
}

// A quoted name or NULL, up to the separator that ends it (", " or ")").
bool TakeName(std::string_view &s, std::string_view end, std::string &name,
              bool &null) {
  null = Take(s, "NULL");
  if (null) return s.substr(0, end.size()) == end;
  if (!Take(s, "\"")) return false;
  const std::string closing = "\"" + std::string(end);
  const std::size_t at = s.find(closing);
  if (at == std::string_view::npos) return false;
  name = Unescape(s.substr(0, at));
  s.remove_prefix(at + 1);
  return true;
}

// Everything up to the next ", " (an address or a number).
std::string_view TakeField(std::string_view &s) {
  const std::size_t at = s.find(", ");
  const std::string_view field = s.substr(0, at);
  s.remove_prefix(at == std::string_view::npos ? s.size() : at);
  return field;
}

}  // namespace

std::string Unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
        HexValue(text[i + 2]) >= 0 && HexValue(text[i + 3]) >= 0) {
      out +=
          static_cast<char>(HexValue(text[i + 2]) * 16 + HexValue(text[i + 3]));
      i += 3;
      continue;
    }
    out += text[i];
  }
  return out;
}

bool ParseLookup(std::string_view s, Lookup &out) {
  out = Lookup();
  out.addrinfo = Take(s, "getaddrinfo(");
  if (out.addrinfo) {
    if (!TakeName(s, ", ", out.asked[0], out.asked_null[0]) || !Take(s, ", ") ||
        !TakeName(s, ")", out.asked[1], out.asked_null[1]))
      return false;
  } else {
    if (!Take(s, "getnameinfo(")) return false;
    out.asked[0] = std::string(TakeField(s));
    std::int64_t length = 0, flags = 0;
    if (!Take(s, ", ") || !ParseInteger(TakeField(s), length) ||
        !Take(s, ", ")) {
      return false;
    }
    const std::size_t close = s.find(')');
    if (close == std::string_view::npos ||
        !ParseInteger(s.substr(0, close), flags)) {
      return false;
    }
    out.asked[1] = std::to_string(length);
    s.remove_prefix(close);
  }
  if (!Take(s, ") returned ")) return false;
  const std::size_t space = s.find(' ');
  if (!ParseInteger(s.substr(0, space), out.result)) return false;
  if (space == std::string_view::npos) return true;
  s.remove_prefix(space);
  if (!Take(s, " (") || s.empty() || s.back() != ')') return false;
  s.remove_suffix(1);
  while (!s.empty()) {
    if (out.addrinfo) {
      out.answers.emplace_back(TakeField(s));
    } else {
      std::string name;
      bool null = false;
      if (!TakeName(s, out.answers.empty() ? ", " : "", name, null))
        return false;
      out.answers.push_back(null ? "NULL" : name);
    }
    if (!s.empty() && !Take(s, ", ")) return false;
  }
  return out.addrinfo || out.answers.size() == 2;
}

}  // namespace nqtrace
