// Google Benchmark cases of the hooks, each beside its yardstick, and the
// table of ratios from the medians of the repetitions.
//
//   nq_bench [google benchmark flags]
//
// Defaults: 9 repetitions, randomly interleaved, aggregates only.
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

#include "bench_os.h"
#include "report.h"
#include "scenes.h"

using namespace nqb;

namespace {

constexpr int kRecordRuns = 40000;  // records per repetition (~4 MB)
constexpr int kDumpRuns = 64;       // 64 KiB dumps per repetition (~20 MB)

std::string g_connect_record;
std::string g_dump_record;

// A case whose trace file did not grow by exactly what its records should
// have written measured something else; it is reported as an error.
void CheckGrowth(benchmark::State &state, const std::string &file,
                 long long before, size_t record) {
  long long grown = SizeOf(file) - before;
  long long want = static_cast<long long>(state.iterations()) *
                   static_cast<long long>(record);
  if (grown != want) state.SkipWithError("trace file did not grow as expected");
}

void OffEmpty(benchmark::State &state) {
  for (auto _ : state) benchmark::DoNotOptimize(EmptyConnect());
}

void OffHook(benchmark::State &state) {
  if (WSAGetTraceUsage() != 0) state.SkipWithError("a thread still traces");
  for (auto _ : state) benchmark::DoNotOptimize(HookConnect(-1));
}

void NoContext(benchmark::State &state) {
  StartBystander();
  std::string file = BenchFile("bystander.log");
  long long before = SizeOf(file);
  SetCallerError(kRefused);
  for (auto _ : state) benchmark::DoNotOptimize(HookConnect(-1));
  if (SizeOf(file) != before) state.SkipWithError("a record was written");
  StopBystander();
}

void Filtered(benchmark::State &state) {
  std::string file = BenchFile("filtered.log");
  Truncate(file);
  WSAEnableTrace(file.c_str(), TRACE_FLAG_ERRORS);
  SetCallerError(0);
  for (auto _ : state) benchmark::DoNotOptimize(HookConnect(0));
  if (SizeOf(file) != 0) state.SkipWithError("a record was written");
  WSADisableTrace();
}

void Written(benchmark::State &state) {
  std::string file = BenchFile("written.log");
  Truncate(file);
  WSAEnableTrace(file.c_str(), 0);
  long long before = SizeOf(file);
  SetCallerError(kRefused);
  for (auto _ : state) benchmark::DoNotOptimize(HookConnect(-1));
  CheckGrowth(state, file, before, g_connect_record.size());
  WSADisableTrace();
}

void WrittenFloor(benchmark::State &state) {
  std::string file = BenchFile("written-floor.log");
  Truncate(file);
  const char *path = file.c_str();
  const char *bytes = g_connect_record.data();
  size_t size = g_connect_record.size();
  for (auto _ : state) benchmark::DoNotOptimize(FloorAppend(path, bytes, size));
  CheckGrowth(state, file, 0, size);
}

void Dump(benchmark::State &state) {
  std::string file = BenchFile("dump.log");
  Truncate(file);
  WSAEnableTrace(file.c_str(), TRACE_FLAG_DUMP);
  long long before = SizeOf(file);
  SetCallerError(0);
  for (auto _ : state) benchmark::DoNotOptimize(HookRecv64K());
  CheckGrowth(state, file, before, g_dump_record.size());
  WSADisableTrace();
}

void DumpFloor(benchmark::State &state) {
  std::string file = BenchFile("dump-floor.log");
  Truncate(file);
  const char *path = file.c_str();
  const char *bytes = g_dump_record.data();
  size_t size = g_dump_record.size();
  for (auto _ : state) benchmark::DoNotOptimize(FloorAppend(path, bytes, size));
  CheckGrowth(state, file, 0, size);
}

// Every thread traces failed connects to a file of its own.
void Threads(benchmark::State &state) {
  std::string file =
      BenchFile("thread" + std::to_string(state.thread_index()) + ".log");
  Truncate(file);
  WSAEnableTrace(file.c_str(), 0);
  long long before = SizeOf(file);
  SetCallerError(kRefused);
  for (auto _ : state) benchmark::DoNotOptimize(HookConnect(-1));
  state.SetItemsProcessed(state.iterations());
  CheckGrowth(state, file, before, g_connect_record.size());
  WSADisableTrace();
}

// The machine's own scaling at the moment: the same threads doing
// arithmetic that touches no memory and makes no call.
void ThreadsArithmetic(benchmark::State &state) {
  unsigned y = static_cast<unsigned>(state.thread_index());
  for (auto _ : state) y = Arithmetic(y);
  benchmark::DoNotOptimize(y);
  state.SetItemsProcessed(state.iterations());
}

// Collects the medians while the console reporter prints as usual.
class MedianCollector : public benchmark::ConsoleReporter {
 public:
  MedianCollector() : ConsoleReporter(OO_Tabular) {}  // plain text

  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") {
        continue;
      }
      if (run.error_occurred) errors_++;
      std::string key = run.run_name.function_name;
      if (run.threads > 1) key += "/" + std::to_string(run.threads);
      auto items = run.counters.find("items_per_second");
      if (items != run.counters.end()) rates_[key] = items->second.value;
      times_[key] = run.GetAdjustedRealTime();  // in ns: the default unit
    }
    ConsoleReporter::ReportRuns(runs);
  }

  Figures Medians() {
    Figures f;
    f.off_hook = times_["off/hook"];
    f.off_empty = times_["off/empty"];
    f.no_context = times_["no_context/hook"];
    f.filtered = times_["filtered/hook"];
    f.written = times_["written/hook"];
    f.written_floor = times_["written/floor"];
    f.dump = times_["dump/hook"];
    f.dump_floor = times_["dump/floor"];
    f.records_1 = rates_["threads/hook"];
    f.records_2 = rates_["threads/hook/2"];
    f.arithmetic_1 = rates_["threads/arithmetic"];
    f.arithmetic_2 = rates_["threads/arithmetic/2"];
    return f;
  }

  int errors() const { return errors_; }

 private:
  std::map<std::string, double> times_, rates_;
  int errors_ = 0;
};

void Register() {
  const double kMinTime = 0.2;
  benchmark::RegisterBenchmark("off/empty", OffEmpty)->MinTime(kMinTime);
  benchmark::RegisterBenchmark("off/hook", OffHook)->MinTime(kMinTime);
  benchmark::RegisterBenchmark("no_context/hook", NoContext)->MinTime(kMinTime);
  benchmark::RegisterBenchmark("filtered/hook", Filtered)->MinTime(kMinTime);
  benchmark::RegisterBenchmark("written/hook", Written)
      ->Iterations(kRecordRuns);
  benchmark::RegisterBenchmark("written/floor", WrittenFloor)
      ->Iterations(kRecordRuns);
  benchmark::RegisterBenchmark("dump/hook", Dump)->Iterations(kDumpRuns);
  benchmark::RegisterBenchmark("dump/floor", DumpFloor)->Iterations(kDumpRuns);
  benchmark::RegisterBenchmark("threads/hook", Threads)
      ->Iterations(kRecordRuns)
      ->Threads(1)
      ->Threads(2)
      ->UseRealTime();
  benchmark::RegisterBenchmark("threads/arithmetic", ThreadsArithmetic)
      ->Iterations(kRecordRuns)
      ->Threads(1)
      ->Threads(2)
      ->UseRealTime();
}

}  // namespace

int main(int argc, char **argv) {
  // Defaults first, so flags given on the command line override them.
  std::vector<char *> args = {argv[0]};
  std::string defaults[] = {"--benchmark_repetitions=9",
                            "--benchmark_enable_random_interleaving=true",
                            "--benchmark_report_aggregates_only=true"};
  for (std::string &d : defaults) args.push_back(&d[0]);
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

  InstallErrorBridge();
  g_connect_record = CaptureConnectRecord();
  g_dump_record = CaptureDumpRecord();
  Register();
  MedianCollector reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintRatioTable(stdout, "NETQUILL hooks (host, Google Benchmark)",
                  reporter.Medians());
  benchmark::Shutdown();
  RemoveBenchDir();
  return reporter.errors() == 0 ? 0 : 1;
}
