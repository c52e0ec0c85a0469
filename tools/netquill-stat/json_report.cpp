#include "json_report.h"

#include <string>
#include <vector>

#include "winsock_names.h"

namespace nqstat {
namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 if invalid
// (overlong forms, surrogates and values past U+10FFFF included).
std::size_t utf8_length(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) {
    return static_cast<unsigned char>(s[k]);
  };
  const unsigned char c = b(i);
  std::size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + n > s.size() || b(i + 1) < lo || b(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k)
    if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
  return n;
}

void write_escaped_byte(std::ostream &out, unsigned char c) {
  static const char kHex[] = "0123456789abcdef";
  out << "\\u00" << kHex[c >> 4] << kHex[c & 0xF];
}

class Fields {  // writes "key": value pairs with commas between them
 public:
  explicit Fields(std::ostream &out) : out_(out) {}
  std::ostream &key(const char *k) {
    if (!first_) out_ << ", ";
    first_ = false;
    out_ << '"' << k << "\": ";
    return out_;
  }
  void number(const char *k, std::uint64_t v) { key(k) << v; }
  void string(const char *k, std::string_view v) {
    write_json_string(key(k), v);
  }

 private:
  std::ostream &out_;
  bool first_ = true;
};

// Writes "name": [ items ] with one item per line.
template <typename Items, typename Write>
void write_array(std::ostream &out, const char *name, const Items &items,
                 const char *indent, Write write_item) {
  out << indent << '"' << name << "\": [";
  bool first = true;
  for (const auto &item : items) {
    out << (first ? "\n" : ",\n") << indent << "  {";
    write_item(item);
    out << '}';
    first = false;
  }
  if (!first) out << '\n' << indent;
  out << ']';
}

void write_functions(std::ostream &out, const ModuleStats &m) {
  write_array(out, "functions", functions_in_report_order(m), "      ",
              [&](const FunctionRow &r) {
                Fields f(out);
                f.string("name", r.first);
                f.number("calls", r.second.calls);
                f.number("errors", r.second.errors);
                f.number("warnings", r.second.warnings);
                f.number("total_ms", r.second.total_ms);
                f.number("max_ms", r.second.max_ms);
              });
}

}  // namespace

void write_json_string(std::ostream &out, std::string_view s) {
  out << '"';
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\') {
      out << '\\' << s[i++];
    } else if (c < 0x20 || c == 0x7F) {
      write_escaped_byte(out, c);
      ++i;
    } else if (c < 0x80) {
      out << s[i++];
    } else if (const std::size_t n = utf8_length(s, i)) {
      out << s.substr(i, n);
      i += n;
    } else {
      write_escaped_byte(out, c);
      ++i;
    }
  }
  out << '"';
}

void write_json_report(std::ostream &out, const Summary &s) {
  out << "{\n";
  write_array(out, "files", s.files(), "  ", [&](const InputFile &file) {
    Fields f(out);
    f.string("name", file.name);
    f.key("opened") << (file.opened ? "true" : "false");
  });

  out << ",\n  \"modules\": [";
  bool first = true;
  for (const auto &mod : s.modules()) {
    out << (first ? "\n" : ",\n") << "    {";
    Fields f(out);
    f.string("name", mod.first);
    f.number("bytes_sent", mod.second.bytes_sent);
    f.number("bytes_received", mod.second.bytes_received);
    out << ",\n";
    write_functions(out, mod.second);
    out << '}';
    first = false;
  }
  out << (first ? "]" : "\n  ]");

  out << ",\n";
  write_array(out, "error_codes", codes_in_report_order(s.error_codes()), "  ",
              [&](const CodeRow &c) {
                const char *name = wsa_error_name(c.first);
                Fields f(out);
                f.number("code", c.first);
                f.string("name", name ? name : "unknown");
                f.number("count", c.second);
              });

  out << ",\n";
  write_array(out, "busiest", s.busiest(), "  ", [&](const BusyLine &b) {
    Fields f(out);
    f.number("elapsed_ms", b.elapsed_ms);
    f.string("file", b.file);
    f.number("line", b.line);
    f.string("module", b.module);
    f.string("function", b.function);
    f.string("text", b.text);
  });

  const FunctionStats t = s.totals();
  out << ",\n  \"totals\": {";
  {
    Fields f(out);
    f.number("calls", t.calls);
    f.number("errors", t.errors);
    f.number("warnings", t.warnings);
    f.number("bytes_sent", s.bytes_sent());
    f.number("bytes_received", s.bytes_received());
  }
  const LineCounts &c = s.counts();
  out << "},\n  \"lines\": {";
  {
    Fields f(out);
    f.number("read", c.read);
    f.number("text", c.text);
    f.number("calls", c.calls);
    f.number("trace_starts", c.trace_starts);
    f.number("trace_stops", c.trace_stops);
    f.number("other", c.other);
    f.number("dump", c.dump);
    f.number("malformed", c.malformed);
  }
  out << "}\n}\n";
}

}  // namespace nqstat
