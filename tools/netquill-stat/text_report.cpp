#include "text_report.h"

#include <iomanip>
#include <string>
#include <vector>

#include "winsock_names.h"

namespace nqstat {
namespace {

const char *const kRule10 = "----------";
const char *const kNameRule = "----------------";

std::string plural(std::uint64_t n, const char *word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

void write_header(std::ostream &out, const Summary &s) {
  std::uint64_t unopened = 0;
  for (const InputFile &f : s.files())
    if (!f.opened) ++unopened;
  out << "netquill-stat: " << plural(s.files().size(), "file");
  if (unopened != 0) {
    out << " (" << unopened << " not opened:";
    for (const InputFile &f : s.files())
      if (!f.opened) out << ' ' << f.name;
    out << ')';
  }
  out << '\n';
}

void write_function_row(std::ostream &out, const FunctionStats &f,
                        const std::string &name) {
  out << std::setw(10) << f.calls << ' ' << std::setw(10) << f.errors << ' '
      << std::setw(10) << f.warnings << ' ' << std::setw(10) << f.total_ms
      << ' ' << std::setw(10) << f.max_ms << "  " << name << '\n';
}

void write_module(std::ostream &out, const std::string &name,
                  const ModuleStats &m) {
  const std::vector<FunctionRow> rows = functions_in_report_order(m);
  const std::string rule = std::string(kRule10) + ' ' + kRule10 + ' ' +
                           kRule10 + ' ' + kRule10 + ' ' + kRule10 + "  " +
                           kNameRule + '\n';
  out << "\nmodule " << (name.empty() ? "\"\"" : name) << '\n'
      << "     calls     errors   warnings   total ms     max ms  function\n"
      << rule;
  for (const FunctionRow &r : rows) write_function_row(out, r.second, r.first);
  out << rule;
  write_function_row(out, module_totals(m), "total");
  out << "bytes sent " << m.bytes_sent << ", received " << m.bytes_received
      << '\n';
}

void write_error_codes(std::ostream &out, const Summary &s) {
  if (s.error_codes().empty()) return;
  out << "\nerror codes\n"
      << "     count   code  name\n"
      << kRule10 << " ------  " << kNameRule << '\n';
  for (const CodeRow &r : codes_in_report_order(s.error_codes())) {
    const char *name = wsa_error_name(r.first);
    out << std::setw(10) << r.second << ' ' << std::setw(6) << r.first << "  "
        << (name ? name : "unknown") << '\n';
  }
}

void write_busiest(std::ostream &out, const Summary &s) {
  const std::vector<BusyLine> busy = s.busiest();
  if (busy.empty()) return;
  out << "\nbusiest lines (top " << s.top_n() << " by elapsed ms)\n"
      << "   elapsed  location\n"
      << kRule10 << "  " << kNameRule << '\n';
  for (const BusyLine &b : busy) {
    out << std::setw(10) << b.elapsed_ms << "  " << b.file << ':' << b.line
        << "  " << b.module << ' ' << b.text << '\n';
  }
}

void write_count(std::ostream &out, int indent, const char *label,
                 std::uint64_t n) {
  out << std::string(static_cast<std::size_t>(indent), ' ') << std::left
      << std::setw(20 - indent) << label << std::right << std::setw(10) << n
      << '\n';
}

void write_totals(std::ostream &out, const Summary &s) {
  const FunctionStats t = s.totals();
  out << "\ntotals\n";
  write_count(out, 2, "calls", t.calls);
  write_count(out, 2, "errors", t.errors);
  write_count(out, 2, "warnings", t.warnings);
  write_count(out, 2, "bytes sent", s.bytes_sent());
  write_count(out, 2, "bytes received", s.bytes_received());
}

void write_lines(std::ostream &out, const LineCounts &c) {
  out << "\nlines\n";
  write_count(out, 2, "read", c.read);
  write_count(out, 2, "text", c.text);
  write_count(out, 4, "calls", c.calls);
  write_count(out, 4, "trace starts", c.trace_starts);
  write_count(out, 4, "trace stops", c.trace_stops);
  write_count(out, 4, "other records", c.other);
  write_count(out, 2, "dump", c.dump);
  write_count(out, 2, "malformed", c.malformed);
}

}  // namespace

void write_text_report(std::ostream &out, const Summary &summary) {
  write_header(out, summary);
  if (summary.modules().empty()) out << "\nno socket calls\n";
  for (const auto &mod : summary.modules())
    write_module(out, mod.first, mod.second);
  write_error_codes(out, summary);
  write_busiest(out, summary);
  write_totals(out, summary);
  write_lines(out, summary.counts());
}

}  // namespace nqstat
