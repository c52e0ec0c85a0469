#include "scanner.h"

#include "call_shape.h"
#include "dump_line.h"
#include "line_reader.h"

namespace nqstat {
namespace {

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

}  // namespace

void MalformedLog::Report(std::string_view file, std::uint64_t line,
                          nqtrace::Fault why) {
  if (total_++ < cap_)
    err_ << file << ':' << line << ": malformed line ("
         << nqtrace::FaultText(why) << ")\n";
}

void MalformedLog::Finish() {
  if (total_ > cap_)
    err_ << "netquill-stat: " << (total_ - cap_)
         << " more malformed lines not shown\n";
}

bool ModuleSelected(const ScanSettings &settings, std::string_view module) {
  if (settings.modules.empty()) return true;
  for (const std::string &m : settings.modules)
    if (SameIgnoringCase(m, module)) return true;
  return false;
}

bool ScanTrace(nqtrace::ByteSource &source, std::string_view label,
               const ScanSettings &settings, Summary &summary,
               MalformedLog &malformed) {
  nqtrace::LineReader reader(source);
  std::string_view line;
  std::uint64_t line_no = 0;
  // Whether the last text line was kept: its dump lines follow it.
  bool keeping = settings.modules.empty();
  while (reader.Next(line)) {
    ++line_no;
    summary.CountLineRead();
    nqtrace::ParsedLine p =
        reader.Overlong() ? nqtrace::ParsedLine{} : nqtrace::ParseLine(line);
    if (reader.Overlong()) p.fault = nqtrace::Fault::TooLong;

    if (p.kind == nqtrace::LineKind::Malformed) {
      summary.AddMalformedLine();
      malformed.Report(label, line_no, p.fault);
      continue;
    }
    if (p.kind == nqtrace::LineKind::Dump) {
      nqtrace::DumpLine d;
      if (keeping)
        summary.AddDumpLine(nqtrace::DecodeDumpLine(line, d) ==
                                    nqtrace::DumpFault::None
                                ? d.count
                                : 0);
      continue;
    }
    keeping = ModuleSelected(settings, p.module);
    if (!keeping) continue;
    summary.AddTextLine(p, label, line_no);
    if (settings.failing_lines != nullptr && p.tag != nqtrace::Tag::Info &&
        !nqtrace::IsPending(p))
      *settings.failing_lines << label << ':' << line_no << ": " << line
                              << '\n';
  }
  return !source.Failed();
}

}  // namespace nqstat
