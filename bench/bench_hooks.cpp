// The benchmark cases under Google Benchmark, each beside its yardstick,
// and the table of ratios from the medians of the repetitions.
//
//   nq_bench [google benchmark flags]
//
// Defaults: 9 repetitions, randomly interleaved, aggregates only.
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

#include "cases.h"
#include "report.h"
#include "scenes.h"

using namespace nqb;

namespace {

// One case: its batch runs as a whole, so the timed loop is the case's own
// and the harness adds nothing per call.
void Measure(benchmark::State &state, const BenchCase *c) {
  int thread = state.thread_index();
  c->begin(thread);
  long sum = 0;
  while (state.KeepRunningBatch(state.max_iterations)) {
    sum += c->run(thread, static_cast<long>(state.max_iterations));
  }
  benchmark::DoNotOptimize(sum);
  if (c->rate) state.SetItemsProcessed(state.iterations());
  std::string error = c->end(thread, static_cast<long>(state.iterations()));
  if (!error.empty()) state.SkipWithError(error.c_str());
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
      auto items = run.counters.find("items_per_second");
      if (items != run.counters.end()) rates_[key] = items->second.value;
      times_[key] = run.GetAdjustedRealTime();  // in ns: the default unit
    }
    ConsoleReporter::ReportRuns(runs);
  }

  Figures Medians() {
    Figures f{};
    for (const BenchCase &c : Cases()) {
      f.*c.figure = c.rate ? rates_[c.name] : times_[c.name];
    }
    return f;
  }

  int errors() const { return errors_; }

 private:
  std::map<std::string, double> times_, rates_;
  int errors_ = 0;
};

void Register() {
  const double kMinTime = 0.2;
  for (const BenchCase &c : Cases()) {
    auto *b = benchmark::RegisterBenchmark(c.name, Measure, &c);
    if (c.iterations > 0) {
      b->Iterations(c.iterations);
    } else {
      b->MinTime(kMinTime);
    }
    if (c.threads > 1 || c.rate) b->Threads(c.threads)->UseRealTime();
  }
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

  PrepareCases();
  Register();
  MedianCollector reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintRatioTable(stdout, "NETQUILL hooks (host, Google Benchmark)",
                  reporter.Medians());
  benchmark::Shutdown();
  RemoveBenchDir();
  return reporter.errors() == 0 ? 0 : 1;
}
