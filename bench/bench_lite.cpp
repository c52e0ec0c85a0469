// The benchmark cases without Google Benchmark, for builds that lack it
// (the Windows build, run under Wine). Every round times each case once, in
// an order that reverses from round to round; the table is made of the
// medians over the rounds.
//
//   nq_bench_lite [rounds]      (default 9)
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cases.h"
#include "report.h"
#include "scenes.h"

using namespace nqb;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kBatchNs = 60e6;  // aim of one timed batch: 60 ms

volatile long g_sink;  // keeps results alive
bool g_failed;         // a case measured something else

double Since(Clock::time_point start) {
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

void Report(const BenchCase &c, const std::string &error) {
  if (error.empty()) return;
  if (!g_failed) fprintf(stderr, "error: %s: %s\n", c.name, error.c_str());
  g_failed = true;
}

// Times one batch of n calls on each of the case's threads, all released
// at once; returns nanoseconds per call over all threads.
double Batch(const BenchCase &c, long n) {
  if (c.threads == 1) {
    c.begin(0);
    auto t = Clock::now();
    g_sink = c.run(0, n);
    double ns = Since(t);
    Report(c, c.end(0, n));
    return ns / n;
  }
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::string> errors(c.threads);
  std::vector<std::thread> pool;
  for (int k = 0; k < c.threads; ++k) {
    pool.emplace_back([&, k] {
      c.begin(k);
      ready++;
      while (!go.load()) std::this_thread::yield();
      g_sink = c.run(k, n);
      errors[k] = c.end(k, n);
    });
  }
  while (ready.load() < c.threads) std::this_thread::yield();
  auto t = Clock::now();
  go = true;
  for (std::thread &th : pool) th.join();
  double ns = Since(t);
  for (const std::string &e : errors) Report(c, e);
  return ns / (static_cast<double>(n) * c.threads);
}

// Grows the batch until it is long enough to time, then sizes it to about
// kBatchNs.
long Calibrate(const BenchCase &c) {
  long n = 4;
  for (;;) {
    double per = Batch(c, n);
    if (per * n > kBatchNs / 10 || n > (1L << 30)) {
      double want = kBatchNs / (per > 0 ? per : 1);
      return want < 4 ? 4 : static_cast<long>(want);
    }
    n *= 4;
  }
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 9;
  if (rounds < 1) rounds = 1;
  PrepareCases();

  const std::vector<BenchCase> &cases = Cases();
  std::vector<long> batch(cases.size());
  std::vector<std::vector<double>> ns(cases.size());
  for (size_t i = 0; i < cases.size(); ++i) batch[i] = Calibrate(cases[i]);
  for (int r = 0; r < rounds; ++r) {
    for (size_t j = 0; j < cases.size(); ++j) {
      size_t i = r % 2 ? cases.size() - 1 - j : j;
      ns[i].push_back(Batch(cases[i], batch[i]));
    }
  }
  printf("| case | calls per batch | median ns per call |\n|---|---|---|\n");
  Figures f{};
  for (size_t i = 0; i < cases.size(); ++i) {
    double median = Median(ns[i]);
    printf("| %s | %ld | %.2f |\n", cases[i].name, batch[i], median);
    f.*cases[i].figure = cases[i].rate ? 1e9 / median : median;
  }
  char title[96];
  snprintf(title, sizeof title, "NETQUILL hooks (plain harness, %d rounds)",
           rounds);
  PrintRatioTable(stdout, title, f);
  RemoveBenchDir();
  return g_failed ? 1 : 0;
}
