// Runs one trace through the reader and the parser, applies the module
// filter, reports malformed lines and feeds the summary or the list of
// failing lines.
#ifndef NQ_TOOLS_NETQUILL_STAT_SCANNER_H
#define NQ_TOOLS_NETQUILL_STAT_SCANNER_H

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "byte_source.h"
#include "line_parser.h"
#include "summary.h"

namespace nqstat {

// Writes "file:line: malformed line (why)" to stderr for the first `cap`
// malformed lines of the whole run, then only counts them.
class MalformedLog {
 public:
  explicit MalformedLog(std::ostream &err, std::size_t cap = 20)
      : err_(err), cap_(cap) {}
  void Report(std::string_view file, std::uint64_t line, nqtrace::Fault why);
  // Says how many were not shown, if any.
  void Finish();
  std::uint64_t Total() const { return total_; }

 private:
  std::ostream &err_;
  std::size_t cap_;
  std::uint64_t total_ = 0;
};

struct ScanSettings {
  // Modules to keep, compared without regard to case; empty keeps all.
  std::vector<std::string> modules;
  // When set, ERR and WRN lines are written here as "file:line: text",
  // but for the overlapped calls that are only pending.
  std::ostream *failing_lines = nullptr;
};

bool ModuleSelected(const ScanSettings &settings, std::string_view module);

// Reads `source` to its end. Dump lines go with the text line before them,
// so they are dropped along with a filtered-out module; malformed lines are
// always counted. Returns false if reading failed before the end.
bool ScanTrace(nqtrace::ByteSource &source, std::string_view label,
               const ScanSettings &settings, Summary &summary,
               MalformedLog &malformed);

}  // namespace nqstat

#endif  // NQ_TOOLS_NETQUILL_STAT_SCANNER_H
