#include "summary.h"

#include <algorithm>
#include <iterator>
#include <limits>

#include "call_args.h"
#include "call_shape.h"
#include "tls_line.h"
#include "winsock_names.h"

namespace nqstat {
namespace {

// Corrupt traces can hold huge elapsed values; totals stop at the maximum
// instead of wrapping round.
void AddSaturating(std::uint64_t &sum, std::uint64_t v) {
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  sum = (v > max - sum) ? max : sum + v;
}

// True if a ranks above b: larger elapsed, then earlier in the input.
bool RanksAbove(const BusyLine &a, const BusyLine &b) {
  if (a.elapsed_ms != b.elapsed_ms) return a.elapsed_ms > b.elapsed_ms;
  return a.order < b.order;
}

// A received count that moved bytes: a peek leaves them for the next
// receive, which counts them.
bool Consumes(const nqtrace::ParsedLine &line) {
  nqtrace::CallArgs args;
  return !nqtrace::SplitArgs(line.args, args) ||
         !nqtrace::PeeksOnly(line.function, args);
}

}  // namespace

const char *CodeName(ErrorCode code) {
  if (code == kOtherCodes) return "other codes";
  const char *name = nqtrace::ErrorName(static_cast<std::uint32_t>(code));
  return name != nullptr ? name : "unknown";
}

void Summary::AddFile(std::string name, bool opened) {
  files_.push_back({std::move(name), opened});
}

void Summary::AddDumpLine(std::uint64_t bytes) {
  ++counts_.dump;
  if (dump_bytes_to_ != nullptr) AddSaturating(*dump_bytes_to_, bytes);
}

void Summary::AddTextLine(const nqtrace::ParsedLine &line,
                          std::string_view file, std::uint64_t line_no) {
  dump_bytes_to_ = nullptr;
  switch (line.kind) {
    case nqtrace::LineKind::Call:
      AddCall(line, file, line_no);
      break;
    case nqtrace::LineKind::TraceStart:
      ++counts_.trace_starts;
      break;
    case nqtrace::LineKind::TraceStop:
      ++counts_.trace_stops;
      break;
    case nqtrace::LineKind::Other:
      ++counts_.other;
      break;
    case nqtrace::LineKind::Dump:
    case nqtrace::LineKind::DumpCut:
    case nqtrace::LineKind::Malformed:
      return;
  }
  ++counts_.text;
}

void Summary::AddCall(const nqtrace::ParsedLine &line, std::string_view file,
                      std::uint64_t line_no) {
  ++counts_.calls;
  auto mod = modules_.find(line.module);
  if (mod == modules_.end() && modules_.size() >= kMaxModules)
    mod = modules_.find(kOtherModules);
  if (mod == modules_.end()) {
    const std::string_view name =
        modules_.size() >= kMaxModules ? kOtherModules : line.module;
    mod = modules_.emplace(std::string(name), ModuleStats{}).first;
  }
  ModuleStats &ms = mod->second;
  FunctionStats &fs = Row(ms, line.function);
  ++fs.calls;
  AddSaturating(fs.total_ms, line.elapsed_ms);
  fs.max_ms = std::max(fs.max_ms, line.elapsed_ms);
  if (line.has_duration) {
    ++fs.timed_calls;
    AddSaturating(fs.time_us, line.duration_us);
  }
  OfferBusy(line, file, line_no);
  if (nqtrace::IsPending(line)) {
    ++fs.pending;
    return;
  }

  nqtrace::CallArgs args;
  nqtrace::Completion done;
  const bool completion = nqtrace::SplitArgs(line.args, args) &&
                          nqtrace::ParseCompletion(line.function, args, done);
  if (line.tag != nqtrace::Tag::Info) {
    FunctionStats &failed = completion ? Row(ms, done.operation) : fs;
    ++(line.tag == nqtrace::Tag::Error ? failed.errors : failed.warnings);
    if (line.has_code) {
      const ErrorCode code = static_cast<std::int32_t>(line.code);
      const bool room = codes_.size() < kMaxCodes || codes_.count(code) != 0;
      ++codes_[room ? code : kOtherCodes];
    }
    return;
  }

  // A TLS call's bytes are its plaintext, apart from the socket's.
  std::uint64_t plain = 0;
  if (nqtrace::PlaintextCount(line, plain)) {
    AddSaturating(nqtrace::PlaintextDirection(line.function) > 0
                      ? ms.plaintext_sent
                      : ms.plaintext_received,
                  plain);
    return;
  }

  const int direction =
      completion ? done.direction : nqtrace::DataDirection(line.function);
  std::uint64_t &moved = direction > 0 ? ms.bytes_sent : ms.bytes_received;
  std::uint64_t bytes = 0;
  if (direction == 0) {
    // Moves no data.
  } else if (!completion && nqtrace::MovesByDump(line.function)) {
    dump_bytes_to_ = &moved;
  } else if (nqtrace::ResultAsCount(line.result, bytes) &&
             (direction > 0 || completion || Consumes(line))) {
    AddSaturating(moved, bytes);
  }
}

FunctionStats &Summary::Row(ModuleStats &ms, std::string_view function) {
  auto fn = ms.functions.find(function);
  if (fn == ms.functions.end() && function_rows_ >= kMaxFunctions)
    fn = ms.functions.find(kOtherFunctions);
  if (fn == ms.functions.end()) {
    const std::string_view name =
        function_rows_ >= kMaxFunctions ? kOtherFunctions : function;
    fn = ms.functions.emplace(std::string(name), FunctionStats{}).first;
    ++function_rows_;
  }
  return fn->second;
}

void Summary::OfferBusy(const nqtrace::ParsedLine &line, std::string_view file,
                        std::uint64_t line_no) {
  if (top_n_ == 0) return;
  const std::uint64_t order = next_order_++;
  // The heap's front is the weakest kept line; most calls lose to it and
  // are dropped here without copying any strings.
  if (busy_heap_.size() == top_n_) {
    const BusyLine &weakest = busy_heap_.front();
    if (line.elapsed_ms <= weakest.elapsed_ms) return;
    std::pop_heap(busy_heap_.begin(), busy_heap_.end(), RanksAbove);
    busy_heap_.pop_back();
  }
  BusyLine b;
  b.elapsed_ms = line.elapsed_ms;
  b.file = std::string(file);
  b.line = line_no;
  b.module = std::string(line.module);
  b.function = std::string(line.function);
  b.text = std::string(line.text.substr(0, kMaxBusyText));
  b.order = order;
  busy_heap_.push_back(std::move(b));
  std::push_heap(busy_heap_.begin(), busy_heap_.end(), RanksAbove);
}

std::vector<BusyLine> Summary::Busiest() const {
  std::vector<BusyLine> out = busy_heap_;
  std::sort(out.begin(), out.end(), RanksAbove);
  return out;
}

FunctionStats ModuleTotals(const ModuleStats &module) {
  FunctionStats t;
  for (const auto &fn : module.functions) {
    AddSaturating(t.calls, fn.second.calls);
    AddSaturating(t.errors, fn.second.errors);
    AddSaturating(t.warnings, fn.second.warnings);
    AddSaturating(t.pending, fn.second.pending);
    AddSaturating(t.total_ms, fn.second.total_ms);
    AddSaturating(t.timed_calls, fn.second.timed_calls);
    AddSaturating(t.time_us, fn.second.time_us);
    t.max_ms = std::max(t.max_ms, fn.second.max_ms);
  }
  return t;
}

std::vector<FunctionRow> FunctionsInReportOrder(const ModuleStats &module) {
  std::vector<FunctionRow> rows(module.functions.begin(),
                                module.functions.end());
  // The map gives name order; the stable sort keeps it among equals.
  std::stable_sort(rows.begin(), rows.end(),
                   [](const FunctionRow &a, const FunctionRow &b) {
                     if (a.second.total_ms != b.second.total_ms)
                       return a.second.total_ms > b.second.total_ms;
                     return a.second.calls > b.second.calls;
                   });
  return rows;
}

std::vector<FunctionRow> TimedFunctionsInReportOrder(
    const ModuleStats &module) {
  std::vector<FunctionRow> rows;
  for (const auto &fn : module.functions)
    if (fn.second.timed_calls != 0) rows.push_back(fn);
  std::stable_sort(rows.begin(), rows.end(),
                   [](const FunctionRow &a, const FunctionRow &b) {
                     if (a.second.time_us != b.second.time_us)
                       return a.second.time_us > b.second.time_us;
                     return a.second.timed_calls > b.second.timed_calls;
                   });
  return rows;
}

std::vector<CodeRow> CodesInReportOrder(
    const std::map<ErrorCode, std::uint64_t> &codes) {
  std::vector<CodeRow> rows(codes.begin(), codes.end());
  std::stable_sort(
      rows.begin(), rows.end(),
      [](const CodeRow &a, const CodeRow &b) { return a.second > b.second; });
  return rows;
}

FunctionStats Summary::Totals() const {
  FunctionStats t;
  for (const auto &mod : modules_) {
    const FunctionStats m = ModuleTotals(mod.second);
    AddSaturating(t.calls, m.calls);
    AddSaturating(t.errors, m.errors);
    AddSaturating(t.warnings, m.warnings);
    AddSaturating(t.pending, m.pending);
    AddSaturating(t.total_ms, m.total_ms);
    AddSaturating(t.timed_calls, m.timed_calls);
    AddSaturating(t.time_us, m.time_us);
    t.max_ms = std::max(t.max_ms, m.max_ms);
  }
  return t;
}

std::uint64_t Summary::BytesSent() const {
  std::uint64_t sum = 0;
  for (const auto &mod : modules_) AddSaturating(sum, mod.second.bytes_sent);
  return sum;
}

std::uint64_t Summary::BytesReceived() const {
  std::uint64_t sum = 0;
  for (const auto &mod : modules_)
    AddSaturating(sum, mod.second.bytes_received);
  return sum;
}

}  // namespace nqstat
