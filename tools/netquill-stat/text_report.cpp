#include "text_report.h"

#include <iomanip>
#include <string>
#include <vector>

#include "winsock_names.h"

namespace nqstat {
namespace {

const char *const kRule10 = "----------";
const char *const kNameRule = "----------------";

std::string Plural(std::uint64_t n, const char *word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

void WriteHeader(std::ostream &out, const Summary &s) {
  std::uint64_t unopened = 0;
  for (const InputFile &f : s.Files())
    if (!f.opened) ++unopened;
  out << "netquill-stat: " << Plural(s.Files().size(), "file");
  if (unopened != 0) {
    out << " (" << unopened << " not opened:";
    for (const InputFile &f : s.Files())
      if (!f.opened) out << ' ' << f.name;
    out << ')';
  }
  out << '\n';
}

void WriteFunctionRow(std::ostream &out, const FunctionStats &f,
                      const std::string &name, bool pending) {
  out << std::setw(10) << f.calls << ' ' << std::setw(10) << f.errors << ' '
      << std::setw(10) << f.warnings << ' ';
  if (pending) out << std::setw(10) << f.pending << ' ';
  out << std::setw(10) << f.total_ms << ' ' << std::setw(10) << f.max_ms << "  "
      << name << '\n';
}

// Microseconds as seconds with six decimals.
std::string Seconds(std::uint64_t us) {
  std::string frac = std::to_string(us % 1000000);
  return std::to_string(us / 1000000) + '.' +
         std::string(6 - frac.size(), '0') + frac;
}

void WriteTimeRow(std::ostream &out, const FunctionStats &f,
                  std::uint64_t module_us, const std::string &name) {
  const double share = module_us == 0 ? 0.0
                                      : 100.0 * static_cast<double>(f.time_us) /
                                            static_cast<double>(module_us);
  out << std::fixed << std::setprecision(2) << std::setw(6) << share << ' '
      << std::setw(11) << Seconds(f.time_us) << ' ' << std::setw(11)
      << f.time_us / f.timed_calls << ' ' << std::setw(10) << f.timed_calls
      << "  " << name << '\n';
}

// Time spent in the calls whose lines carry their duration, as the module's
// share, seconds and microseconds per call.
void WriteModuleTime(std::ostream &out, const ModuleStats &m) {
  const FunctionStats t = ModuleTotals(m);
  if (t.timed_calls == 0) return;
  const std::string rule = std::string("------ ----------- ----------- ") +
                           kRule10 + "  " + kNameRule + '\n';
  out << "time in calls (" << t.timed_calls << " of " << Plural(t.calls, "call")
      << " timed)\n"
      << "% time     seconds  usecs/call      calls  function\n"
      << rule;
  for (const FunctionRow &r : TimedFunctionsInReportOrder(m))
    WriteTimeRow(out, r.second, t.time_us, r.first);
  out << rule;
  WriteTimeRow(out, t, t.time_us, "total");
}

void WriteModule(std::ostream &out, const std::string &name,
                 const ModuleStats &m, bool pending) {
  const std::vector<FunctionRow> rows = FunctionsInReportOrder(m);
  std::string rule;
  for (int column = pending ? 6 : 5; column > 0; --column)
    rule += std::string(kRule10) + (column > 1 ? " " : "  ");
  rule += std::string(kNameRule) + '\n';
  out << "\nmodule " << (name.empty() ? "\"\"" : name) << '\n'
      << "     calls     errors   warnings " << (pending ? "   pending " : "")
      << "  total ms     max ms  function\n"
      << rule;
  for (const FunctionRow &r : rows)
    WriteFunctionRow(out, r.second, r.first, pending);
  out << rule;
  WriteFunctionRow(out, ModuleTotals(m), "total", pending);
  out << "bytes sent " << m.bytes_sent << ", received " << m.bytes_received
      << '\n';
  if (m.plaintext_sent != 0 || m.plaintext_received != 0)
    out << "TLS plaintext sent " << m.plaintext_sent << ", received "
        << m.plaintext_received << '\n';
  WriteModuleTime(out, m);
}

void WriteErrorCodes(std::ostream &out, const Summary &s) {
  if (s.ErrorCodes().empty()) return;
  out << "\nerror codes\n"
      << "     count   code  name\n"
      << kRule10 << " ------  " << kNameRule << '\n';
  for (const CodeRow &r : CodesInReportOrder(s.ErrorCodes())) {
    out << std::setw(10) << r.second << ' ' << std::setw(6) << r.first << "  "
        << CodeName(r.first) << '\n';
  }
}

void WriteBusiest(std::ostream &out, const Summary &s) {
  const std::vector<BusyLine> busy = s.Busiest();
  if (busy.empty()) return;
  out << "\nbusiest lines (top " << s.TopN() << " by elapsed ms)\n"
      << "   elapsed  location\n"
      << kRule10 << "  " << kNameRule << '\n';
  for (const BusyLine &b : busy) {
    out << std::setw(10) << b.elapsed_ms << "  " << b.file << ':' << b.line
        << "  " << b.module << ' ' << b.text << '\n';
  }
}

void WriteCount(std::ostream &out, int indent, const char *label,
                std::uint64_t n) {
  out << std::string(static_cast<std::size_t>(indent), ' ') << std::left
      << std::setw(20 - indent) << label << std::right << std::setw(10) << n
      << '\n';
}

void WriteTotals(std::ostream &out, const Summary &s) {
  const FunctionStats t = s.Totals();
  out << "\ntotals\n";
  WriteCount(out, 2, "calls", t.calls);
  WriteCount(out, 2, "errors", t.errors);
  WriteCount(out, 2, "warnings", t.warnings);
  if (t.pending != 0) WriteCount(out, 2, "pending", t.pending);
  WriteCount(out, 2, "bytes sent", s.BytesSent());
  WriteCount(out, 2, "bytes received", s.BytesReceived());
  if (t.timed_calls == 0) {
    // Said, so that a trace written without -T is not read as calls that
    // took no time.
    if (t.calls != 0)
      out << "  no call line carries its duration: no time in calls\n";
    return;
  }
  WriteCount(out, 2, "timed calls", t.timed_calls);
  out << "  " << std::left << std::setw(18) << "seconds in calls" << std::right
      << std::setw(10) << Seconds(t.time_us) << '\n';
}

void WriteLines(std::ostream &out, const LineCounts &c) {
  out << "\nlines\n";
  WriteCount(out, 2, "read", c.read);
  WriteCount(out, 2, "text", c.text);
  WriteCount(out, 4, "calls", c.calls);
  WriteCount(out, 4, "trace starts", c.trace_starts);
  WriteCount(out, 4, "trace stops", c.trace_stops);
  WriteCount(out, 4, "other records", c.other);
  WriteCount(out, 2, "dump", c.dump);
  WriteCount(out, 2, "malformed", c.malformed);
}

}  // namespace

void WriteTextReport(std::ostream &out, const Summary &summary) {
  WriteHeader(out, summary);
  if (summary.Modules().empty()) out << "\nno socket calls\n";
  // Traces without overlapped calls keep the columns they always had.
  const bool pending = summary.Totals().pending != 0;
  for (const auto &mod : summary.Modules())
    WriteModule(out, mod.first, mod.second, pending);
  WriteErrorCodes(out, summary);
  WriteBusiest(out, summary);
  WriteTotals(out, summary);
  WriteLines(out, summary.Counts());
}

}  // namespace nqstat
