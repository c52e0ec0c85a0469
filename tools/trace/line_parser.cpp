#include "line_parser.h"

#include "call_args.h"
#include "winsock_names.h"

namespace nqtrace {
namespace {

constexpr std::size_t kMaxModule = 63;
constexpr std::size_t kMaxElapsedDigits = 18;  // keeps sums far from overflow
constexpr std::size_t kMaxCodeDigits = 9;
constexpr std::size_t kMaxSecondsDigits = 12;  // a duration's whole seconds
constexpr std::size_t kClockUsDigits = 6;
constexpr std::string_view kReturned = ") returned ";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsUpperHex(char c) { return IsDigit(c) || (c >= 'A' && c <= 'F'); }
bool IsHex(char c) { return IsUpperHex(c) || (c >= 'a' && c <= 'f'); }
bool IsIdentStart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool IsIdent(char c) { return IsIdentStart(c) || IsDigit(c); }

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!IsDigit(c)) return false;
  return true;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

std::uint64_t ToNumber(std::string_view digits) {
  std::uint64_t v = 0;
  for (char c : digits) v = v * 10 + static_cast<unsigned>(c - '0');
  return v;
}

ParsedLine Malformed(Fault fault) {
  ParsedLine p;
  p.kind = LineKind::Malformed;
  p.fault = fault;
  return p;
}

bool HasControlByte(std::string_view s) {
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && c != '\t') || c == 0x7F) return true;
  }
  return false;
}

// The clock column at s[at]: HHMMSS, optionally ".UUUUUU"; its length, or
// 0 when s holds none there. The time of day is checked by the caller.
std::size_t ClockLength(std::string_view s, std::size_t at) {
  if (s.size() < at + 6) return 0;
  for (std::size_t i = at; i < at + 6; ++i)
    if (!IsDigit(s[i])) return 0;
  if (s.size() <= at + 6 || s[at + 6] != '.') return 6;
  if (s.size() < at + 7 + kClockUsDigits) return 0;
  for (std::size_t i = at + 7; i < at + 7 + kClockUsDigits; ++i)
    if (!IsDigit(s[i])) return 0;
  return 7 + kClockUsDigits;
}

// " HHMMSS[.UUUUUU] ELAPSED TAG" at s[at]: the columns that follow a module
// name. Found by their shape, as a module name may itself hold spaces.
bool RecordStartAt(std::string_view s, std::size_t at) {
  if (s.size() < at + 13 || s[at] != ' ') return false;
  const std::size_t clock = ClockLength(s, at + 1);
  if (clock == 0 || s.size() <= at + 1 + clock || s[at + 1 + clock] != ' ')
    return false;
  const std::size_t elapsed = at + 2 + clock;
  std::size_t i = elapsed;
  while (i < s.size() && IsDigit(s[i])) ++i;
  if (i - elapsed < 4 || i - elapsed > kMaxElapsedDigits || i >= s.size() ||
      s[i] != ' ')
    return false;
  const std::string_view tag = s.substr(i + 1, 5);
  return tag == "INF: " || tag == "ERR: " || tag == "WRN: ";
}

// Where another record begins inside s, outside double quotes: a record
// written in part and the next one appended to the same line. Found from
// the ": " of a tag, so that a line without one costs a single search; the
// quotes before each candidate are counted on from the one before, so a
// line of many candidates is still read once.
bool HoldsRecordStart(std::string_view s) {
  std::size_t counted = 0;  // s[0, counted) holds `quotes` double quotes
  std::size_t quotes = 0;
  for (std::size_t colon = s.find(": "); colon != std::string_view::npos;
       colon = s.find(": ", colon + 1)) {
    if (colon < 16 || s[colon - 4] != ' ') continue;
    std::size_t digits = colon - 4;
    while (digits > 0 && IsDigit(s[digits - 1])) --digits;
    // The clock column before the elapsed digits, with or without its
    // microseconds.
    std::size_t start = std::string_view::npos;
    if (digits >= 8 && RecordStartAt(s, digits - 8)) {
      start = digits - 8;
    } else if (digits >= 15 && RecordStartAt(s, digits - 15)) {
      start = digits - 15;
    } else {
      continue;
    }
    for (; counted < start; ++counted) quotes += s[counted] == '"';
    if (quotes % 2 == 0) return true;
  }
  return false;
}

// Indentation, an upper-case hex offset of four or more digits, two spaces,
// then at least one byte cell. The rest of the cells are not checked.
bool IsDumpLine(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  if (i == 0) return false;
  const std::size_t offset = i;
  while (i < s.size() && IsUpperHex(s[i])) ++i;
  if (i - offset < 4 || s.substr(i, 2) != "  ") return false;
  i += 2;
  if (i + 2 > s.size() || !IsUpperHex(s[i]) || !IsUpperHex(s[i + 1]))
    return false;
  return i + 2 == s.size() || s[i + 2] == ' ' || s[i + 2] == ':';
}

// Indentation, "... ", a decimal count and " more bytes": the last line
// of a cut dump.
bool IsCutLine(std::string_view s, std::uint64_t &cut) {
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  constexpr std::string_view kFront = "... ", kBack = " more bytes";
  if (i == 0 || s.substr(i, kFront.size()) != kFront) return false;
  s.remove_prefix(i + kFront.size());
  std::size_t digits = 0;
  while (digits < s.size() && IsDigit(s[digits])) ++digits;
  if (digits == 0 || digits > 19 || (digits > 1 && s[0] == '0') ||
      s.substr(digits) != kBack)
    return false;
  cut = ToNumber(s.substr(0, digits));
  return true;
}

bool IsDottedQuad(std::string_view s) {
  for (int part = 0; part < 4; ++part) {
    std::size_t n = 0;
    while (n < s.size() && IsDigit(s[n])) ++n;
    if (n == 0 || n > 3 || ToNumber(s.substr(0, n)) > 255) return false;
    s.remove_prefix(n);
    if (part < 3) {
      if (s.empty() || s[0] != '.') return false;
      s.remove_prefix(1);
    }
  }
  return s.empty();
}

// The forms a traced call's result takes: an integer, INVALID_SOCKET, NULL,
// TRUE/FALSE, 0x-hex, or an entry "1.2.3.4 (name)" / "80 (name)", whose
// address may also be "<N bytes>" when the entry's address was too short
// or "(no address)" when the host entry had none.
bool IsResult(std::string_view r) {
  if (r == "INVALID_SOCKET" || r == "NULL" || r == "TRUE" || r == "FALSE")
    return true;
  if (StartsWith(r, "0x")) {
    for (char c : r.substr(2))
      if (!IsHex(c)) return false;
    return r.size() > 2;
  }
  const std::size_t paren = r.find(" (");
  if (paren != std::string_view::npos) {
    if (r.back() != ')') return false;
    const std::string_view head = r.substr(0, paren);
    std::int32_t short_length = 0;
    return AllDigits(head) || IsDottedQuad(head) || head == "(no address)" ||
           head == "TRUE" || head == "FALSE" ||
           ParseShortAddress(head, short_length);
  }
  if (StartsWith(r, "-")) r.remove_prefix(1);
  return AllDigits(r);
}

// Splits " [digits]" off the end of an ERR/WRN line's text. A failed
// name lookup passes the resolver's own negative codes on: " [-9]".
bool TakeCode(std::string_view &text, std::uint32_t &code) {
  if (text.size() < 4 || text.back() != ']') return false;
  const std::size_t open = text.rfind(" [");
  if (open == std::string_view::npos) return false;
  std::string_view digits = text.substr(open + 2, text.size() - open - 3);
  const bool negative = !digits.empty() && digits[0] == '-';
  if (negative) digits.remove_prefix(1);
  if (!AllDigits(digits) || digits.size() > kMaxCodeDigits) return false;
  const auto value = static_cast<std::uint32_t>(ToNumber(digits));
  code = negative ? 0u - value : value;
  text = text.substr(0, open);
  return true;
}

// Splits " <S.UUUUUU>" off the end of a timed call line's text.
bool TakeDuration(std::string_view &text, std::uint64_t &duration_us) {
  if (text.size() < 11 || text.back() != '>') return false;
  const std::size_t open = text.rfind(" <");
  if (open == std::string_view::npos) return false;
  const std::string_view inside = text.substr(open + 2, text.size() - open - 3);
  const std::size_t dot = inside.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot > kMaxSecondsDigits ||
      inside.size() - dot - 1 != kClockUsDigits ||
      !AllDigits(inside.substr(0, dot)) || !AllDigits(inside.substr(dot + 1)))
    return false;
  duration_us = ToNumber(inside.substr(0, dot)) * 1000000u +
                ToNumber(inside.substr(dot + 1));
  text = text.substr(0, open);
  return true;
}

// Decides what the text after the tag is: banner, call or custom record.
void Classify(ParsedLine &p) {
  if (StartsWith(p.text, "started process ")) {
    p.kind = LineKind::TraceStart;
    return;
  }
  if (StartsWith(p.text, "stopped process ")) {
    p.kind = LineKind::TraceStop;
    return;
  }
  std::string_view body = p.text;
  std::uint64_t duration_us = 0;
  const bool timed = TakeDuration(body, duration_us);
  const std::string_view untimed = body;
  if (p.tag != Tag::Info) p.has_code = TakeCode(body, p.code);

  std::size_t name_len = 0;
  if (!body.empty() && IsIdentStart(body[0]))
    while (name_len < body.size() && IsIdent(body[name_len])) ++name_len;
  if (name_len == 0 || name_len == body.size() || body[name_len] != '(') {
    p.kind = LineKind::Other;
    return;
  }
  const std::string_view name = body.substr(0, name_len);
  // Quoted arguments may contain ") returned " themselves; the result
  // always follows the last one.
  const std::size_t at = body.rfind(kReturned);
  std::string_view result = at == std::string_view::npos
                                ? std::string_view{}
                                : body.substr(at + kReturned.size());
  std::string_view result_label;
  const bool labelled = SplitSocketLabel(result, result, result_label);
  // A call cut short with the next record on its line would otherwise
  // lend that record's result to the wrong call.
  const bool glued = HoldsRecordStart(body);
  if (glued || !labelled || !IsResult(result)) {
    // A custom record may look like "init(db) done"; only the names
    // the tracer writes are taken as damaged call lines.
    if (IsTracedFunction(name)) {
      p = Malformed(glued ? Fault::Glued : Fault::BadResult);
    } else {
      p.kind = LineKind::Other;
    }
    return;
  }
  if (p.tag != Tag::Info && !p.has_code) {
    p = Malformed(Fault::MissingCode);
    return;
  }
  p.kind = LineKind::Call;
  p.function = name;
  p.args = body.substr(name_len + 1, at - name_len - 1);
  p.result = result;
  p.result_label = result_label;
  if (timed) {
    p.has_duration = true;
    p.duration_us = duration_us;
    p.text = untimed;
  }
}

}  // namespace

const char *FaultText(Fault fault) {
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
    case Fault::Glued:
      return "two records on one line";
  }
  return "?";
}

ParsedLine ParseLine(std::string_view s) {
  if (s.empty()) return Malformed(Fault::Empty);
  if (HasControlByte(s)) return Malformed(Fault::ControlByte);
  // An empty module name also puts a space first, so only a line that
  // fits the dump layout is taken as a dump.
  if (s[0] == ' ') {
    if (IsDumpLine(s)) {
      // Nothing in a whole dump line has the shape of a record's columns.
      if (HoldsRecordStart(s)) return Malformed(Fault::Glued);
      ParsedLine p;
      p.kind = LineKind::Dump;
      return p;
    }
    ParsedLine p;
    if (IsCutLine(s, p.cut)) {
      p.kind = LineKind::DumpCut;
      return p;
    }
    if (s.size() > 1 && s[1] == ' ') return Malformed(Fault::BadDump);
  }

  ParsedLine p;
  // The module name ends where the clock column begins; failing that
  // shape, the first space decides which column is at fault.
  std::size_t space = 0;
  while (space <= kMaxModule + 1 && space < s.size() &&
         !RecordStartAt(s, space))
    ++space;
  if (space > kMaxModule + 1 || space == s.size()) space = s.find(' ');
  if (space == std::string_view::npos) return Malformed(Fault::BadClock);
  if (space > kMaxModule) return Malformed(Fault::BadModule);
  p.module = s.substr(0, space);
  s.remove_prefix(space + 1);

  // HHMMSS, a real time of day, to the microsecond on a timed call.
  const std::size_t clock = ClockLength(s, 0);
  if (clock == 0 || s.size() <= clock || s[clock] != ' ')
    return Malformed(Fault::BadClock);
  p.clock = static_cast<std::uint32_t>(ToNumber(s.substr(0, 6)));
  if (p.clock / 10000 > 23 || p.clock / 100 % 100 > 59 || p.clock % 100 > 59)
    return Malformed(Fault::BadClock);
  if (clock > 6) {
    p.has_clock_us = true;
    p.clock_us = static_cast<std::uint32_t>(ToNumber(s.substr(7, 6)));
  }
  s.remove_prefix(clock + 1);

  std::size_t digits = 0;
  while (digits < s.size() && IsDigit(s[digits])) ++digits;
  if (digits < 4 || digits > kMaxElapsedDigits || digits == s.size() ||
      s[digits] != ' ')
    return Malformed(Fault::BadElapsed);
  p.elapsed_ms = ToNumber(s.substr(0, digits));
  s.remove_prefix(digits + 1);

  const std::string_view tag = s.substr(0, 5);
  if (tag == "INF: ") {
    p.tag = Tag::Info;
  } else if (tag == "ERR: ") {
    p.tag = Tag::Error;
  } else if (tag == "WRN: ") {
    p.tag = Tag::Warning;
  } else {
    return Malformed(Fault::BadTag);
  }
  p.text = s.substr(5);
  if (p.text.empty()) return Malformed(Fault::EmptyText);
  Classify(p);
  return p;
}

bool ResultAsCount(std::string_view result, std::uint64_t &count) {
  if (!AllDigits(result) || result.size() > 19) return false;
  count = ToNumber(result);
  return true;
}

}  // namespace nqtrace
