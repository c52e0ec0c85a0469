// Totals gathered from parsed trace lines: per module and function, error
// codes, bytes moved, line counts and the lines with the largest elapsed
// times. Memory is bounded: past kMaxModules modules, kMaxFunctions
// functions in all and kMaxCodes error codes, further names and codes are
// added up in one row each ("(other modules)", "(other)", kOtherCodes), so
// that a trace of millions of distinct names costs no more than a few.
#ifndef NQ_TOOLS_NETQUILL_STAT_SUMMARY_H
#define NQ_TOOLS_NETQUILL_STAT_SUMMARY_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "line_parser.h"

namespace nqstat {

constexpr std::size_t kMaxModules = 256;
constexpr std::size_t kMaxFunctions = 4096;
constexpr std::size_t kMaxCodes = 1024;
constexpr std::string_view kOtherModules = "(other modules)";
constexpr std::string_view kOtherFunctions = "(other)";
// Error codes as signed numbers: a failed getaddrinfo passes the resolver's
// own negative codes on. The row of further codes has a number no trace
// line can give.
using ErrorCode = std::int64_t;
constexpr ErrorCode kOtherCodes = 0xFFFFFFFF;

// "ECONNREFUSED", "WSAECONNREFUSED", "EAI_SERVICE", "other codes" or
// "unknown".
const char *CodeName(ErrorCode code);

struct FunctionStats {
  std::uint64_t calls = 0;
  std::uint64_t errors = 0;    // ERR lines
  std::uint64_t warnings = 0;  // WRN lines
  std::uint64_t total_ms = 0;
  std::uint64_t max_ms = 0;
  std::uint64_t pending = 0;      // overlapped calls under way: WRN [997],
                                  // neither failures nor warnings
  std::uint64_t timed_calls = 0;  // lines that carry the call's duration
  std::uint64_t time_us = 0;      // their durations added up
};

// A completion's failure is its operation's: the row of the function it
// names (WSARecv) counts the error, the completion's own row the call.
struct ModuleStats {
  std::map<std::string, FunctionStats, std::less<>> functions;
  std::uint64_t bytes_sent = 0;          // send and sendto results, the
                                         // dumps of WSASend and the like
                                         // that completed at once, and
                                         // completions
  std::uint64_t bytes_received = 0;      // the same for receives, peeks
                                         // left out
  std::uint64_t plaintext_sent = 0;      // TLS calls' plaintext (SSL_write)
  std::uint64_t plaintext_received = 0;  // and SSL_read, ...
};

// All functions of one module added up; max_ms is the largest single value.
FunctionStats ModuleTotals(const ModuleStats &module);

// The order both reports list things in: functions by total ms, then
// calls, then name; error codes by count, then code.
using FunctionRow = std::pair<std::string, FunctionStats>;
std::vector<FunctionRow> FunctionsInReportOrder(const ModuleStats &module);
// The functions with timed calls, by time spent in them, then timed calls,
// then name.
std::vector<FunctionRow> TimedFunctionsInReportOrder(const ModuleStats &module);
using CodeRow = std::pair<ErrorCode, std::uint64_t>;
std::vector<CodeRow> CodesInReportOrder(
    const std::map<ErrorCode, std::uint64_t> &codes);

struct LineCounts {
  std::uint64_t read = 0;  // every line of every file, kept or not
  std::uint64_t text = 0;  // calls + trace starts + trace stops + other
  std::uint64_t calls = 0;
  std::uint64_t trace_starts = 0;
  std::uint64_t trace_stops = 0;
  std::uint64_t other = 0;
  std::uint64_t dump = 0;
  std::uint64_t malformed = 0;
};

struct BusyLine {
  std::uint64_t elapsed_ms = 0;
  std::string file;
  std::uint64_t line = 0;
  std::string module;
  std::string function;
  std::string text;         // cut to kMaxBusyText bytes
  std::uint64_t order = 0;  // arrival order: earlier lines win ties
};

struct InputFile {
  std::string name;
  bool opened = false;
};

class Summary {
 public:
  static constexpr std::size_t kMaxBusyText = 160;

  explicit Summary(std::size_t top_n = 5) : top_n_(top_n) {}

  void AddFile(std::string name, bool opened);
  void CountLineRead() { ++counts_.read; }
  // A call, banner or custom record (other kinds are ignored here).
  void AddTextLine(const nqtrace::ParsedLine &line, std::string_view file,
                   std::uint64_t line_no);
  // A dump line of `bytes` bytes, which belongs to the text line before it.
  void AddDumpLine(std::uint64_t bytes);
  void AddMalformedLine() {
    ++counts_.malformed;
    dump_bytes_to_ = nullptr;
  }

  const std::vector<InputFile> &Files() const { return files_; }
  const LineCounts &Counts() const { return counts_; }
  const std::map<std::string, ModuleStats, std::less<>> &Modules() const {
    return modules_;
  }
  const std::map<ErrorCode, std::uint64_t> &ErrorCodes() const {
    return codes_;
  }
  std::size_t TopN() const { return top_n_; }
  // Up to top_n call lines, largest elapsed time first.
  std::vector<BusyLine> Busiest() const;
  // All functions of all modules added up (max_ms is the overall max).
  FunctionStats Totals() const;
  std::uint64_t BytesSent() const;
  std::uint64_t BytesReceived() const;

 private:
  void AddCall(const nqtrace::ParsedLine &line, std::string_view file,
               std::uint64_t line_no);
  void OfferBusy(const nqtrace::ParsedLine &line, std::string_view file,
                 std::uint64_t line_no);
  FunctionStats &Row(ModuleStats &module, std::string_view function);

  std::size_t top_n_;
  std::vector<InputFile> files_;
  LineCounts counts_;
  std::map<std::string, ModuleStats, std::less<>> modules_;
  std::map<ErrorCode, std::uint64_t> codes_;
  std::vector<BusyLine> busy_heap_;  // min-heap on (elapsed, -order)
  std::uint64_t next_order_ = 0;
  std::size_t function_rows_ = 0;
  // Where the bytes of the dump lines that follow go: the byte count of
  // the last call when its dump is what it moved (WSARecv that completed
  // at once), else nowhere.
  std::uint64_t *dump_bytes_to_ = nullptr;
};

}  // namespace nqstat

#endif  // NQ_TOOLS_NETQUILL_STAT_SUMMARY_H
