#include "cases.h"

#include <string>

#include "bench_os.h"
#include "scenes.h"

namespace nqb {
namespace {

constexpr int kMaxThreads = 2;
constexpr long kRecordRuns = 40000;  // records per repetition (~4 MB)
constexpr long kDumpRuns = 64;       // 64 KiB dumps per repetition (~20 MB)

std::string g_connect_record;
std::string g_dump_record;

// What each thread of the running case set up: its trace file and the
// file's size before the batch.
struct ThreadScene {
  std::string file;
  long long before;
};
ThreadScene g_scene[kMaxThreads];

void NoSetUp(int) {}
std::string NoCheck(int, long) { return ""; }

// Truncates the thread's file and, unless flags is negative, traces to it.
void OpenScene(int thread, const char *name, int flags) {
  ThreadScene &scene = g_scene[thread];
  scene.file = BenchFile(name);
  Truncate(scene.file);
  if (flags >= 0) WSAEnableTrace(scene.file.c_str(), flags);
  scene.before = SizeOf(scene.file);
}

// A case whose trace file did not grow by exactly what its calls should
// have written measured something else.
std::string Grown(int thread, long n, const std::string &record) {
  const ThreadScene &scene = g_scene[thread];
  long long want =
      static_cast<long long>(n) * static_cast<long long>(record.size());
  if (SizeOf(scene.file) - scene.before != want) {
    return "the trace file did not grow as expected";
  }
  return "";
}

long Connects(int result, long n) {
  long sum = 0;
  for (long i = 0; i < n; ++i) sum += HookConnect(result);
  return sum;
}

long Appends(int thread, const std::string &record, long n) {
  const char *path = g_scene[thread].file.c_str();
  long sum = 0;
  for (long i = 0; i < n; ++i) {
    sum += FloorAppend(path, record.data(), record.size());
  }
  return sum;
}

long OffEmpty(int, long n) {
  long sum = 0;
  for (long i = 0; i < n; ++i) sum += EmptyConnect();
  return sum;
}

std::string OffHookCheck(int, long) {
  return WSAGetTraceUsage() == 0 ? "" : "a thread still traces";
}

long FailedConnects(int, long n) { return Connects(-1, n); }

void NoContextBegin(int) {
  StartBystander();
  OpenScene(0, "bystander.log", -1);
  SetCallerError(kRefused);
}

std::string NoContextEnd(int thread, long) {
  std::string error = Grown(thread, 0, "");
  StopBystander();
  return error.empty() ? "" : "a record was written";
}

void FilteredBegin(int thread) {
  OpenScene(thread, "filtered.log", TRACE_FLAG_ERRORS);
  SetCallerError(0);
}

long GoodConnects(int, long n) { return Connects(0, n); }

std::string FilteredEnd(int thread, long) {
  std::string error = Grown(thread, 0, "");
  WSADisableTrace();
  return error.empty() ? "" : "a record was written";
}

void WrittenBegin(int thread) {
  OpenScene(thread, "written.log", 0);
  SetCallerError(kRefused);
}

std::string WrittenEnd(int thread, long n) {
  std::string error = Grown(thread, n, g_connect_record);
  WSADisableTrace();
  return error;
}

void WrittenFloorBegin(int thread) {
  OpenScene(thread, "written-floor.log", -1);
}

long WrittenFloorRun(int thread, long n) {
  return Appends(thread, g_connect_record, n);
}

std::string WrittenFloorEnd(int thread, long n) {
  return Grown(thread, n, g_connect_record);
}

void DumpBegin(int thread) {
  OpenScene(thread, "dump.log", TRACE_FLAG_DUMP);
  SetCallerError(0);
}

long DumpRun(int, long n) {
  long sum = 0;
  for (long i = 0; i < n; ++i) sum += static_cast<long>(HookRecv64K());
  return sum;
}

std::string DumpEnd(int thread, long n) {
  std::string error = Grown(thread, n, g_dump_record);
  WSADisableTrace();
  return error;
}

void DumpFloorBegin(int thread) { OpenScene(thread, "dump-floor.log", -1); }

long DumpFloorRun(int thread, long n) {
  return Appends(thread, g_dump_record, n);
}

std::string DumpFloorEnd(int thread, long n) {
  return Grown(thread, n, g_dump_record);
}

// Every thread traces failed connects to a file of its own.
void ThreadsBegin(int thread) {
  OpenScene(thread, ("thread" + std::to_string(thread) + ".log").c_str(), 0);
  SetCallerError(kRefused);
}

// The machine's own scaling at the moment: the same threads doing
// arithmetic that touches no memory and makes no call.
long ArithmeticRun(int thread, long n) {
  unsigned y = static_cast<unsigned>(thread);
  for (long i = 0; i < n; ++i) y = Arithmetic(y);
  return static_cast<long>(y);
}

}  // namespace

const std::vector<BenchCase> &Cases() {
  static const std::vector<BenchCase> cases = {
      {"off/empty", 1, 0, &Figures::off_empty, false, NoSetUp, OffEmpty,
       NoCheck},
      {"off/hook", 1, 0, &Figures::off_hook, false, NoSetUp, FailedConnects,
       OffHookCheck},
      {"no_context/hook", 1, 0, &Figures::no_context, false, NoContextBegin,
       FailedConnects, NoContextEnd},
      {"filtered/hook", 1, 0, &Figures::filtered, false, FilteredBegin,
       GoodConnects, FilteredEnd},
      {"written/hook", 1, kRecordRuns, &Figures::written, false, WrittenBegin,
       FailedConnects, WrittenEnd},
      {"written/floor", 1, kRecordRuns, &Figures::written_floor, false,
       WrittenFloorBegin, WrittenFloorRun, WrittenFloorEnd},
      {"dump/hook", 1, kDumpRuns, &Figures::dump, false, DumpBegin, DumpRun,
       DumpEnd},
      {"dump/floor", 1, kDumpRuns, &Figures::dump_floor, false, DumpFloorBegin,
       DumpFloorRun, DumpFloorEnd},
      {"threads/hook", 1, kRecordRuns, &Figures::records_1, true, ThreadsBegin,
       FailedConnects, WrittenEnd},
      {"threads/hook/2", 2, kRecordRuns, &Figures::records_2, true,
       ThreadsBegin, FailedConnects, WrittenEnd},
      {"threads/arithmetic", 1, kRecordRuns, &Figures::arithmetic_1, true,
       NoSetUp, ArithmeticRun, NoCheck},
      {"threads/arithmetic/2", 2, kRecordRuns, &Figures::arithmetic_2, true,
       NoSetUp, ArithmeticRun, NoCheck},
  };
  return cases;
}

void PrepareCases() {
  InstallErrorBridge();
  g_connect_record = CaptureConnectRecord();
  g_dump_record = CaptureDumpRecord();
}

}  // namespace nqb
