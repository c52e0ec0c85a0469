#include "json_report.h"

#include <string>
#include <vector>

#include "json_string.h"
#include "winsock_names.h"

namespace nqstat {
namespace {

void WriteJsonString(std::ostream &out, std::string_view s) {
  std::string quoted;
  nqtrace::AppendJsonString(quoted, s);
  out << quoted;
}

class Fields {  // writes "key": value pairs with commas between them
 public:
  explicit Fields(std::ostream &out) : out_(out) {}
  std::ostream &Key(const char *k) {
    if (!first_) out_ << ", ";
    first_ = false;
    out_ << '"' << k << "\": ";
    return out_;
  }
  void Number(const char *k, std::uint64_t v) { Key(k) << v; }
  void Number(const char *k, std::int64_t v) { Key(k) << v; }
  void String(const char *k, std::string_view v) { WriteJsonString(Key(k), v); }

 private:
  std::ostream &out_;
  bool first_ = true;
};

// Writes "name": [ items ] with one item per line.
template <typename Items, typename Write>
void WriteArray(std::ostream &out, const char *name, const Items &items,
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

void WriteFunctions(std::ostream &out, const ModuleStats &m, bool pending,
                    bool timed) {
  WriteArray(out, "functions", FunctionsInReportOrder(m), "      ",
             [&](const FunctionRow &r) {
               Fields f(out);
               f.String("name", r.first);
               f.Number("calls", r.second.calls);
               f.Number("errors", r.second.errors);
               f.Number("warnings", r.second.warnings);
               if (pending) f.Number("pending", r.second.pending);
               f.Number("total_ms", r.second.total_ms);
               f.Number("max_ms", r.second.max_ms);
               if (!timed) return;
               f.Number("timed_calls", r.second.timed_calls);
               f.Number("time_us", r.second.time_us);
               if (r.second.timed_calls != 0)
                 f.Number("us_per_call",
                          r.second.time_us / r.second.timed_calls);
             });
}

}  // namespace

void WriteJsonReport(std::ostream &out, const Summary &s) {
  // "pending" only where overlapped calls were under way, as in the text.
  const FunctionStats t = s.Totals();
  out << "{\n";
  WriteArray(out, "files", s.Files(), "  ", [&](const InputFile &file) {
    Fields f(out);
    f.String("name", file.name);
    f.Key("opened") << (file.opened ? "true" : "false");
  });

  out << ",\n  \"modules\": [";
  bool first = true;
  for (const auto &mod : s.Modules()) {
    out << (first ? "\n" : ",\n") << "    {";
    Fields f(out);
    f.String("name", mod.first);
    f.Number("bytes_sent", mod.second.bytes_sent);
    f.Number("bytes_received", mod.second.bytes_received);
    if (mod.second.plaintext_sent != 0 || mod.second.plaintext_received != 0) {
      f.Number("plaintext_sent", mod.second.plaintext_sent);
      f.Number("plaintext_received", mod.second.plaintext_received);
    }
    out << ",\n";
    WriteFunctions(out, mod.second, t.pending != 0, t.timed_calls != 0);
    out << '}';
    first = false;
  }
  out << (first ? "]" : "\n  ]");

  out << ",\n";
  WriteArray(out, "error_codes", CodesInReportOrder(s.ErrorCodes()), "  ",
             [&](const CodeRow &c) {
               Fields f(out);
               f.Number("code", c.first);
               f.String("name", CodeName(c.first));
               f.Number("count", c.second);
             });

  out << ",\n";
  WriteArray(out, "busiest", s.Busiest(), "  ", [&](const BusyLine &b) {
    Fields f(out);
    f.Number("elapsed_ms", b.elapsed_ms);
    f.String("file", b.file);
    f.Number("line", b.line);
    f.String("module", b.module);
    f.String("function", b.function);
    f.String("text", b.text);
  });

  out << ",\n  \"totals\": {";
  {
    Fields f(out);
    f.Number("calls", t.calls);
    f.Number("errors", t.errors);
    f.Number("warnings", t.warnings);
    if (t.pending != 0) f.Number("pending", t.pending);
    f.Number("bytes_sent", s.BytesSent());
    f.Number("bytes_received", s.BytesReceived());
    // Both 0 when no line carries a call's duration.
    f.Number("timed_calls", t.timed_calls);
    f.Number("time_us", t.time_us);
  }
  const LineCounts &c = s.Counts();
  out << "},\n  \"lines\": {";
  {
    Fields f(out);
    f.Number("read", c.read);
    f.Number("text", c.text);
    f.Number("calls", c.calls);
    f.Number("trace_starts", c.trace_starts);
    f.Number("trace_stops", c.trace_stops);
    f.Number("other", c.other);
    f.Number("dump", c.dump);
    f.Number("malformed", c.malformed);
  }
  out << "}\n}\n";
}

}  // namespace nqstat
