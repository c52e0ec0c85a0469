// The same cases as bench_hooks.cpp without Google Benchmark, for builds
// that lack it (the Windows build, run under Wine). Every round times each
// case once, in an order that reverses from round to round; the table is
// made of the medians over the rounds.
//
//   nq_bench_lite [rounds]      (default 9)
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bench_os.h"
#include "report.h"
#include "scenes.h"

using namespace nqb;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kBatchNs = 60e6;  // aim of one timed batch: 60 ms

std::string g_connect_record;
std::string g_dump_record;
volatile long g_sink;  // keeps results alive
bool g_failed;         // a case wrote what it should not have

double Since(Clock::time_point start) {
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

void Expect(bool ok, const char *what) {
  if (!ok && !g_failed) fprintf(stderr, "error: %s\n", what);
  if (!ok) g_failed = true;
}

// Each runner times n calls and returns nanoseconds per call.
double OffEmpty(long n) {
  long sum = 0;
  auto t = Clock::now();
  for (long i = 0; i < n; ++i) sum += EmptyConnect();
  double ns = Since(t);
  g_sink = sum;
  return ns / n;
}

double OffHook(long n) {
  Expect(WSAGetTraceUsage() == 0, "a thread still traces");
  long sum = 0;
  auto t = Clock::now();
  for (long i = 0; i < n; ++i) sum += HookConnect(-1);
  double ns = Since(t);
  g_sink = sum;
  return ns / n;
}

double NoContext(long n) {
  StartBystander();
  std::string file = BenchFile("bystander.log");
  long long before = SizeOf(file);
  SetCallerError(kRefused);
  long sum = 0;
  auto t = Clock::now();
  for (long i = 0; i < n; ++i) sum += HookConnect(-1);
  double ns = Since(t);
  g_sink = sum;
  Expect(SizeOf(file) == before, "no context: a record was written");
  StopBystander();
  return ns / n;
}

double Filtered(long n) {
  std::string file = BenchFile("filtered.log");
  Truncate(file);
  WSAEnableTrace(file.c_str(), TRACE_FLAG_ERRORS);
  SetCallerError(0);
  long sum = 0;
  auto t = Clock::now();
  for (long i = 0; i < n; ++i) sum += HookConnect(0);
  double ns = Since(t);
  g_sink = sum;
  Expect(SizeOf(file) == 0, "filtered: a record was written");
  WSADisableTrace();
  return ns / n;
}

double Written(long n) {
  std::string file = BenchFile("written.log");
  Truncate(file);
  WSAEnableTrace(file.c_str(), 0);
  long long before = SizeOf(file);
  SetCallerError(kRefused);
  long sum = 0;
  auto t = Clock::now();
  for (long i = 0; i < n; ++i) sum += HookConnect(-1);
  double ns = Since(t);
  g_sink = sum;
  Expect(SizeOf(file) - before ==
             static_cast<long long>(n * g_connect_record.size()),
         "written: the file did not grow as expected");
  WSADisableTrace();
  return ns / n;
}

double FloorOf(const char *name, const std::string &record, long n) {
  std::string file = BenchFile(name);
  Truncate(file);
  long sum = 0;
  auto t = Clock::now();
  for (long i = 0; i < n; ++i) {
    sum += FloorAppend(file.c_str(), record.data(), record.size());
  }
  double ns = Since(t);
  g_sink = sum;
  Expect(SizeOf(file) == static_cast<long long>(n * record.size()),
         "floor: the file did not grow as expected");
  return ns / n;
}

double WrittenFloor(long n) {
  return FloorOf("written-floor.log", g_connect_record, n);
}

double Dump(long n) {
  std::string file = BenchFile("dump.log");
  Truncate(file);
  WSAEnableTrace(file.c_str(), TRACE_FLAG_DUMP);
  long long before = SizeOf(file);
  SetCallerError(0);
  long sum = 0;
  auto t = Clock::now();
  for (long i = 0; i < n; ++i) sum += static_cast<long>(HookRecv64K());
  double ns = Since(t);
  g_sink = sum;
  Expect(
      SizeOf(file) - before == static_cast<long long>(n * g_dump_record.size()),
      "dump: the file did not grow as expected");
  WSADisableTrace();
  return ns / n;
}

double DumpFloor(long n) { return FloorOf("dump-floor.log", g_dump_record, n); }

// Records per second of `threads` threads, each tracing n failed connects
// to a file of its own, all released at once. Returned as nanoseconds per
// record so it fits the runners' shape; the caller turns it into a rate.
double RecordsOn(int threads, long n) {
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> pool;
  for (int k = 0; k < threads; ++k) {
    pool.emplace_back([&, k] {
      std::string file = BenchFile("thread" + std::to_string(k) + ".log");
      Truncate(file);
      WSAEnableTrace(file.c_str(), 0);
      SetCallerError(kRefused);
      ready++;
      while (!go.load()) std::this_thread::yield();
      long sum = 0;
      for (long i = 0; i < n; ++i) sum += HookConnect(-1);
      g_sink = sum;
      WSADisableTrace();
    });
  }
  while (ready.load() < threads) std::this_thread::yield();
  auto t = Clock::now();
  go = true;
  for (std::thread &th : pool) th.join();
  return Since(t) / (static_cast<double>(n) * threads);
}

double OneThread(long n) { return RecordsOn(1, n); }
double TwoThreads(long n) { return RecordsOn(2, n); }

// The machine's own scaling: the same threads doing arithmetic alone.
double ArithmeticOn(int threads, long n) {
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> pool;
  for (int k = 0; k < threads; ++k) {
    pool.emplace_back([&, k] {
      ready++;
      while (!go.load()) std::this_thread::yield();
      unsigned y = static_cast<unsigned>(k);
      for (long i = 0; i < n; ++i) y = Arithmetic(y);
      g_sink = static_cast<long>(y);
    });
  }
  while (ready.load() < threads) std::this_thread::yield();
  auto t = Clock::now();
  go = true;
  for (std::thread &th : pool) th.join();
  return Since(t) / (static_cast<double>(n) * threads);
}

double OneArithmetic(long n) { return ArithmeticOn(1, n); }
double TwoArithmetic(long n) { return ArithmeticOn(2, n); }

struct Case {
  const char *name;
  double (*run)(long n);
  long n;  // calls per batch, found on the first round
  std::vector<double> ns;
};

// Grows the batch until it is long enough to time, then sizes it to about
// kBatchNs.
long Calibrate(double (*run)(long)) {
  long n = 4;
  for (;;) {
    double per = run(n);
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
  InstallErrorBridge();
  g_connect_record = CaptureConnectRecord();
  g_dump_record = CaptureDumpRecord();

  std::vector<Case> cases = {
      {"off/empty", OffEmpty, 0, {}},
      {"off/hook", OffHook, 0, {}},
      {"no_context/hook", NoContext, 0, {}},
      {"filtered/hook", Filtered, 0, {}},
      {"written/hook", Written, 0, {}},
      {"written/floor", WrittenFloor, 0, {}},
      {"dump/hook", Dump, 0, {}},
      {"dump/floor", DumpFloor, 0, {}},
      {"threads/1", OneThread, 0, {}},
      {"threads/2", TwoThreads, 0, {}},
      {"arithmetic/1", OneArithmetic, 0, {}},
      {"arithmetic/2", TwoArithmetic, 0, {}},
  };
  for (Case &c : cases) c.n = Calibrate(c.run);
  for (int r = 0; r < rounds; ++r) {
    for (size_t i = 0; i < cases.size(); ++i) {
      Case &c = cases[r % 2 ? cases.size() - 1 - i : i];
      c.ns.push_back(c.run(c.n));
    }
  }
  printf("| case | calls per batch | median ns per call |\n|---|---|---|\n");
  for (Case &c : cases) {
    printf("| %s | %ld | %.2f |\n", c.name, c.n, Median(c.ns));
  }
  Figures f;
  f.off_empty = Median(cases[0].ns);
  f.off_hook = Median(cases[1].ns);
  f.no_context = Median(cases[2].ns);
  f.filtered = Median(cases[3].ns);
  f.written = Median(cases[4].ns);
  f.written_floor = Median(cases[5].ns);
  f.dump = Median(cases[6].ns);
  f.dump_floor = Median(cases[7].ns);
  f.records_1 = 1e9 / Median(cases[8].ns);
  f.records_2 = 1e9 / Median(cases[9].ns);
  f.arithmetic_1 = 1e9 / Median(cases[10].ns);
  f.arithmetic_2 = 1e9 / Median(cases[11].ns);
  char title[96];
  snprintf(title, sizeof title, "NETQUILL hooks (plain harness, %d rounds)",
           rounds);
  PrintRatioTable(stdout, title, f);
  RemoveBenchDir();
  return g_failed ? 1 : 0;
}
