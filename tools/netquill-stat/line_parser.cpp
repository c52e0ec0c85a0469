#include "line_parser.h"

#include "winsock_names.h"

namespace nqstat {
namespace {

constexpr std::size_t kMaxModule = 63;
constexpr std::size_t kMaxElapsedDigits = 18;  // keeps sums far from overflow
constexpr std::size_t kMaxCodeDigits = 9;
constexpr std::string_view kReturned = ") returned ";

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_upper_hex(char c) { return is_digit(c) || (c >= 'A' && c <= 'F'); }
bool is_hex(char c) { return is_upper_hex(c) || (c >= 'a' && c <= 'f'); }
bool is_ident_start(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool is_ident(char c) { return is_ident_start(c) || is_digit(c); }

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!is_digit(c)) return false;
  return true;
}

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

std::uint64_t to_number(std::string_view digits) {
  std::uint64_t v = 0;
  for (char c : digits) v = v * 10 + static_cast<unsigned>(c - '0');
  return v;
}

ParsedLine malformed(Fault fault) {
  ParsedLine p;
  p.kind = LineKind::Malformed;
  p.fault = fault;
  return p;
}

bool has_control_byte(std::string_view s) {
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && c != '\t') || c == 0x7F) return true;
  }
  return false;
}

// Indentation, an upper-case hex offset of four or more digits, two spaces,
// then at least one byte cell. The rest of the cells are not checked.
bool is_dump_line(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  if (i == 0) return false;
  const std::size_t offset = i;
  while (i < s.size() && is_upper_hex(s[i])) ++i;
  if (i - offset < 4 || s.substr(i, 2) != "  ") return false;
  i += 2;
  if (i + 2 > s.size() || !is_upper_hex(s[i]) || !is_upper_hex(s[i + 1]))
    return false;
  return i + 2 == s.size() || s[i + 2] == ' ' || s[i + 2] == ':';
}

bool is_dotted_quad(std::string_view s) {
  for (int part = 0; part < 4; ++part) {
    std::size_t n = 0;
    while (n < s.size() && is_digit(s[n])) ++n;
    if (n == 0 || n > 3 || to_number(s.substr(0, n)) > 255) return false;
    s.remove_prefix(n);
    if (part < 3) {
      if (s.empty() || s[0] != '.') return false;
      s.remove_prefix(1);
    }
  }
  return s.empty();
}

// The forms a traced call's result takes: an integer, INVALID_SOCKET, NULL,
// TRUE/FALSE, 0x-hex, or an entry "1.2.3.4 (name)" / "80 (name)".
bool is_result(std::string_view r) {
  if (r == "INVALID_SOCKET" || r == "NULL" || r == "TRUE" || r == "FALSE")
    return true;
  if (starts_with(r, "0x")) {
    for (char c : r.substr(2))
      if (!is_hex(c)) return false;
    return r.size() > 2;
  }
  const std::size_t paren = r.find(" (");
  if (paren != std::string_view::npos) {
    if (r.back() != ')') return false;
    const std::string_view head = r.substr(0, paren);
    return all_digits(head) || is_dotted_quad(head);
  }
  if (starts_with(r, "-")) r.remove_prefix(1);
  return all_digits(r);
}

// Splits " [digits]" off the end of an ERR/WRN line's text.
bool take_code(std::string_view &text, std::uint32_t &code) {
  if (text.size() < 4 || text.back() != ']') return false;
  const std::size_t open = text.rfind(" [");
  if (open == std::string_view::npos) return false;
  const std::string_view digits = text.substr(open + 2, text.size() - open - 3);
  if (!all_digits(digits) || digits.size() > kMaxCodeDigits) return false;
  code = static_cast<std::uint32_t>(to_number(digits));
  text = text.substr(0, open);
  return true;
}

// Decides what the text after the tag is: banner, call or custom record.
void classify(ParsedLine &p) {
  if (starts_with(p.text, "started process ")) {
    p.kind = LineKind::TraceStart;
    return;
  }
  if (starts_with(p.text, "stopped process ")) {
    p.kind = LineKind::TraceStop;
    return;
  }
  std::string_view body = p.text;
  if (p.tag != Tag::Info) p.has_code = take_code(body, p.code);

  std::size_t name_len = 0;
  if (!body.empty() && is_ident_start(body[0]))
    while (name_len < body.size() && is_ident(body[name_len])) ++name_len;
  if (name_len == 0 || name_len == body.size() || body[name_len] != '(') {
    p.kind = LineKind::Other;
    return;
  }
  const std::string_view name = body.substr(0, name_len);
  // Quoted arguments may contain ") returned " themselves; the result
  // always follows the last one.
  const std::size_t at = body.rfind(kReturned);
  const std::string_view result = at == std::string_view::npos
                                      ? std::string_view{}
                                      : body.substr(at + kReturned.size());
  if (!is_result(result)) {
    // A custom record may look like "init(db) done"; only the names
    // the tracer writes are taken as damaged call lines.
    if (is_traced_function(name)) {
      p = malformed(Fault::BadResult);
    } else {
      p.kind = LineKind::Other;
    }
    return;
  }
  if (p.tag != Tag::Info && !p.has_code) {
    p = malformed(Fault::MissingCode);
    return;
  }
  p.kind = LineKind::Call;
  p.function = name;
  p.result = result;
}

}  // namespace

const char *fault_text(Fault fault) {
  switch (fault) {
    case Fault::None:
      return "ok";
    case Fault::Empty:
      return "empty line";
    case Fault::TooLong:
      return "line too long";
    case Fault::ControlByte:
      return "control or binary bytes";
    case Fault::BadDump:
      return "bad dump line";
    case Fault::BadModule:
      return "module name too long";
    case Fault::BadClock:
      return "bad clock field";
    case Fault::BadElapsed:
      return "bad elapsed field";
    case Fault::BadTag:
      return "unknown tag";
    case Fault::EmptyText:
      return "no text after the tag";
    case Fault::BadResult:
      return "call without a readable result";
    case Fault::MissingCode:
      return "error line without its code";
  }
  return "?";
}

ParsedLine parse_line(std::string_view s) {
  if (s.empty()) return malformed(Fault::Empty);
  if (has_control_byte(s)) return malformed(Fault::ControlByte);
  // An empty module name also puts a space first, so only a line that
  // fits the dump layout is taken as a dump.
  if (s[0] == ' ') {
    if (is_dump_line(s)) {
      ParsedLine p;
      p.kind = LineKind::Dump;
      return p;
    }
    if (s.size() > 1 && s[1] == ' ') return malformed(Fault::BadDump);
  }

  ParsedLine p;
  const std::size_t space = s.find(' ');
  if (space == std::string_view::npos) return malformed(Fault::BadClock);
  if (space > kMaxModule) return malformed(Fault::BadModule);
  p.module = s.substr(0, space);
  s.remove_prefix(space + 1);

  // HHMMSS, a real time of day.
  if (s.size() < 7 || !all_digits(s.substr(0, 6)) || s[6] != ' ')
    return malformed(Fault::BadClock);
  p.clock = static_cast<std::uint32_t>(to_number(s.substr(0, 6)));
  if (p.clock / 10000 > 23 || p.clock / 100 % 100 > 59 || p.clock % 100 > 59)
    return malformed(Fault::BadClock);
  s.remove_prefix(7);

  std::size_t digits = 0;
  while (digits < s.size() && is_digit(s[digits])) ++digits;
  if (digits < 4 || digits > kMaxElapsedDigits || digits == s.size() ||
      s[digits] != ' ')
    return malformed(Fault::BadElapsed);
  p.elapsed_ms = to_number(s.substr(0, digits));
  s.remove_prefix(digits + 1);

  const std::string_view tag = s.substr(0, 5);
  if (tag == "INF: ") {
    p.tag = Tag::Info;
  } else if (tag == "ERR: ") {
    p.tag = Tag::Error;
  } else if (tag == "WRN: ") {
    p.tag = Tag::Warning;
  } else {
    return malformed(Fault::BadTag);
  }
  p.text = s.substr(5);
  if (p.text.empty()) return malformed(Fault::EmptyText);
  classify(p);
  return p;
}

bool result_as_count(std::string_view result, std::uint64_t &count) {
  if (!all_digits(result) || result.size() > 19) return false;
  count = to_number(result);
  return true;
}

}  // namespace nqstat
