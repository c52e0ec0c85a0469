// Sixteen threads append calls and dumps to one trace file while others
// switch their own traces on and off around them and the error callbacks
// are replaced under them: nothing may be lost, torn, doubled, or carry
// another thread's text or error code.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "netquill.h"
#include "platform/os.h"
#include "scale.h"
#include "support/test_env.h"
#include "trace_check.h"
#include "workload.h"

using namespace nqstress;

namespace {

constexpr int kTracers = 16;
constexpr int kTogglers = 4;
const char kModule[] = "NQ_STRESS_THREADS";

std::string Owner(const char *kind, int n) {
  return std::string(kind) + " " + std::to_string(n);
}

TEST(StressThreads, SixteenTracersShareOneFile) {
  const std::string dir = nqtest::MakeScratchDir("stress-threads");
  const std::string file = dir + nq::kPathSeparator + "shared.log";
  const int iterations = Scaled(150);
  const int cycles = Scaled(60);
  const int total = kTracers + kTogglers;
  InstallErrorHooks(0);

  std::vector<uint32_t> tids(total);
  std::vector<int> faults(total);
  std::vector<std::string> why(total);
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < total; ++i) {
    threads.emplace_back([&, i] {
      tids[i] = nq::g_os.thread_id();
      ready++;
      while (!go.load()) std::this_thread::yield();
      faults[i] = i < kTracers
                      ? RunTracer(i, iterations, file, &why[i])
                      : RunToggler(i - kTracers, cycles, file, &why[i]);
    });
  }
  // Replaces both callbacks again and again while the hooks call them.
  long installs = 0;
  std::thread setup([&] {
    while (!done.load()) {
      InstallErrorHooks(static_cast<int>(++installs & 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  while (ready.load() < total) std::this_thread::yield();
  go = true;
  for (std::thread &t : threads) t.join();
  done = true;
  setup.join();

  for (int i = 0; i < total; ++i) EXPECT_EQ(faults[i], 0) << why[i];
  EXPECT_EQ(WSAGetTraceUsage(), 0);
  EXPECT_GT(ErrorHookCalls(0), 0);
  EXPECT_GT(ErrorHookCalls(1), 0);
  EXPECT_FALSE(std::filesystem::exists(file + ".nested"));

  TraceReport report = ReadTrace(file, kModule);
  EXPECT_EQ(report.error_count, 0u) << Describe(report);
  EXPECT_EQ(report.records.size(), static_cast<size_t>(total));
  for (int k = 0; k < kTracers; ++k) {
    EXPECT_EQ(
        CheckTracer(k, iterations, report.records[Owner("tracer", k)], tids[k]),
        "");
  }
  for (int j = 0; j < kTogglers; ++j) {
    EXPECT_EQ(CheckToggler(j, cycles, report.records[Owner("toggler", j)],
                           tids[kTracers + j]),
              "");
  }
  // Had each thread run alone, there would be one switch per owner at most.
  EXPECT_GT(report.switches, static_cast<size_t>(total));
  printf(
      "[ figures  ] %d tracers x %d rounds, %d togglers x %d cycles, "
      "%ld callback installs: %s\n",
      kTracers, iterations, kTogglers, cycles, installs,
      Describe(report).c_str());
  nqtest::RemoveTree(dir);
}

}  // namespace
