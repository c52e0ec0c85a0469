#include "scanner.h"

#include "line_reader.h"

namespace nqstat {
namespace {

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

}  // namespace

void MalformedLog::report(std::string_view file, std::uint64_t line,
                          Fault why) {
  if (total_++ < cap_)
    err_ << file << ':' << line << ": malformed line (" << fault_text(why)
         << ")\n";
}

void MalformedLog::finish() {
  if (total_ > cap_)
    err_ << "netquill-stat: " << (total_ - cap_)
         << " more malformed lines not shown\n";
}

bool module_selected(const ScanSettings &settings, std::string_view module) {
  if (settings.modules.empty()) return true;
  for (const std::string &m : settings.modules)
    if (same_ignoring_case(m, module)) return true;
  return false;
}

bool scan_trace(ByteSource &source, std::string_view label,
                const ScanSettings &settings, Summary &summary,
                MalformedLog &malformed) {
  LineReader reader(source);
  std::string_view line;
  std::uint64_t line_no = 0;
  // Whether the last text line was kept: its dump lines follow it.
  bool keeping = settings.modules.empty();
  while (reader.next(line)) {
    ++line_no;
    summary.count_line_read();
    ParsedLine p = reader.overlong() ? ParsedLine{} : parse_line(line);
    if (reader.overlong()) p.fault = Fault::TooLong;

    if (p.kind == LineKind::Malformed) {
      summary.add_malformed_line();
      malformed.report(label, line_no, p.fault);
      continue;
    }
    if (p.kind == LineKind::Dump) {
      if (keeping) summary.add_dump_line();
      continue;
    }
    keeping = module_selected(settings, p.module);
    if (!keeping) continue;
    summary.add_text_line(p, label, line_no);
    if (settings.failing_lines != nullptr && p.tag != Tag::Info)
      *settings.failing_lines << label << ':' << line_no << ": " << line
                              << '\n';
  }
  return !source.failed();
}

}  // namespace nqstat
