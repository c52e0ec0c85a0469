// The shipped library unloaded under threads that used it: they traced
// through its exports, some switched their trace off and some did not, one
// ended first; the library goes while the others still live, they end
// later or go on with a fresh copy of it. Nothing may crash or leak, and
// every trace file ends with the last record written before the unload.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/frame.h"
#include "core/context.h"
#include "loader.h"
#include "netquill.h"
#include "platform/os.h"
#include "support/test_env.h"

using namespace nqunload;

namespace {

const char kLibrary[] = NQ_LIBRARY_FILE;

thread_local int t_code;      // the caller's socket error code
thread_local int t_restored;  // what the set-error callback handed back

int NQ_CALL GetCode() { return t_code; }
void NQ_CALL SetCode(int code) { t_restored = code; }

// The exports a traced program reaches by name.
struct Api {
  decltype(&WSASetupTrace) setup = nullptr;
  decltype(&WSAEnableTrace) enable = nullptr;
  decltype(&WSADisableTrace) disable = nullptr;
  decltype(&WSAGetTraceUsage) usage = nullptr;
  decltype(&NetQuillWrite) write = nullptr;
  decltype(&TX_connect) connect = nullptr;
  decltype(&TX_send) send = nullptr;
};

// The lines of a trace file, without their CR LF.
std::vector<std::string> Lines(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)),
                   std::istreambuf_iterator<char>());
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos;
       at = end + 2) {
    lines.push_back(text.substr(at, end - at));
  }
  return lines;
}

template <typename F>
void Bind(void *lib, const char *name, F *out) {
  *out = reinterpret_cast<F>(FindExport(lib, name));
  EXPECT_NE(*out, nullptr) << name;
}

Api BindAll(void *lib) {
  Api api;
  Bind(lib, "WSASetupTrace", &api.setup);
  Bind(lib, "WSAEnableTrace", &api.enable);
  Bind(lib, "WSADisableTrace", &api.disable);
  Bind(lib, "WSAGetTraceUsage", &api.usage);
  Bind(lib, "NetQuillWrite", &api.write);
  Bind(lib, "TX_connect", &api.connect);
  Bind(lib, "TX_send", &api.send);
  return api;
}

// Steps of the test that the threads wait for.
class Stage {
 public:
  void Advance(int to) {
    std::lock_guard<std::mutex> lock(mu_);
    stage_ = to;
    cv_.notify_all();
  }

  void Await(int stage) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return stage_ >= stage; });
  }

  void Arrive() {
    std::lock_guard<std::mutex> lock(mu_);
    ++arrived_;
    cv_.notify_all();
  }

  void AwaitArrivals(int count) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return arrived_ >= count; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int stage_ = 0;
  int arrived_ = 0;
};

enum StageNumber { kUnloaded = 1, kReloaded = 2, kDone = 3 };

struct Plan {
  char name;           // A, B, ...: in its file's name and its note
  bool disables;       // switches its trace off before the unload
  bool ends_first;     // ends before the unload
  bool outlives_copy;  // lives on into the second copy of the library
};

// A worker's traffic through the first copy: its note, a refused connect
// with its own error code, and a send of eight bytes with their dump.
std::string TraceThrough(const Api &api, const Plan &plan,
                         const std::string &file) {
  {
    // Contexts live at a POSIX unload are kept there, by design.
    KeptAtUnload kept;
    if (api.enable(file.c_str(), TRACE_FLAG_DUMP) != 1) return "enable";
  }
  std::string note = std::string("worker ") + plan.name;
  if (api.write(0, note.c_str(), 0) != 1) return "note";
  t_code = 10060 + plan.name;
  if (api.connect(-1, 3, nullptr, 16) != -1) return "connect result";
  if (t_restored != 10060 + plan.name) return "connect code";
  static const char data[] = "unloaded";
  t_code = 0;
  if (api.send(8, 3, data, 8, 0) != 8) return "send result";
  if (t_restored != 0) return "send code";
  if (plan.disables && api.disable() != 1) return "disable";
  return "";
}

class Unload : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = nqtest::MakeScratchDir("unload"); }
  void TearDown() override { nqtest::RemoveTree(dir_); }

  std::string File(char name) const {
    return dir_ + nq::kPathSeparator + "worker-" + name + ".log";
  }

  std::string dir_;
};

TEST_F(Unload, LibraryGoesWhileItsThreadsLiveOn) {
  const Plan plans[] = {
      {'A', true, false, false}, {'B', false, false, false},
      {'C', true, false, true},  {'D', false, false, true},
      {'E', false, true, false},
  };
  const int kWorkers = sizeof plans / sizeof plans[0];
  void *first = LoadLib(kLibrary);
  ASSERT_NE(first, nullptr) << kLibrary;
  Api api = BindAll(first);
  ASSERT_NE(api.send, nullptr);
  TraceErrorHooks hooks = {GetCode, SetCode};
  ASSERT_EQ(api.setup(&hooks), 1);

  Stage stage;
  Api second;  // the fresh copy, once it is loaded
  std::vector<std::string> faults(kWorkers);
  std::vector<std::thread> workers;
  for (int i = 0; i < kWorkers; ++i) {
    workers.emplace_back([&, i] {
      const Plan &plan = plans[i];
      faults[i] = TraceThrough(api, plan, File(plan.name));
      stage.Arrive();
      if (plan.ends_first) return;
      stage.Await(kUnloaded);
      if (!plan.outlives_copy) return;
      stage.Await(kReloaded);
      // The fresh copy knows nothing of this thread: it starts over.
      if (second.write(0, "no context", 0) != 0) faults[i] += " stale context";
      if (second.enable(File(plan.name).c_str(), 0) != 1 ||
          second.write(0, "second copy", 0) != 1 || second.disable() != 1) {
        faults[i] += " second copy";
      }
      stage.Arrive();
      stage.Await(kDone);
    });
  }
  stage.AwaitArrivals(kWorkers);
  // E ended without switching its trace off: its context went with it.
  workers[4].join();
  EXPECT_EQ(api.usage(), 2);  // B and D never disabled

  ASSERT_TRUE(UnloadLib(first));
  EXPECT_FALSE(IsLoaded(kLibrary));
  stage.Advance(kUnloaded);
  workers[0].join();  // A and B end after the unload
  workers[1].join();

  void *again = LoadLib(kLibrary);
  ASSERT_NE(again, nullptr);
  second = BindAll(again);
  ASSERT_NE(second.disable, nullptr);
  EXPECT_EQ(second.usage(), 0);
  stage.Advance(kReloaded);
  stage.AwaitArrivals(kWorkers + 2);
  EXPECT_EQ(second.usage(), 0);
  stage.Advance(kDone);
  workers[2].join();
  workers[3].join();
  ASSERT_TRUE(UnloadLib(again));
  EXPECT_FALSE(IsLoaded(kLibrary));

  for (int i = 0; i < kWorkers; ++i) EXPECT_EQ(faults[i], "") << plans[i].name;
  for (const Plan &plan : plans) {
    SCOPED_TRACE(plan.name);
    auto lines = Lines(File(plan.name));
    std::vector<std::string> got;
    for (const std::string &line : lines) {
      got.push_back(line[0] == ' ' ? line.substr(line.find_first_not_of(' '))
                                   : nqtest::TagAndText(line));
    }
    size_t want = 5 + (plan.disables ? 1 : 0) + (plan.outlives_copy ? 3 : 0);
    ASSERT_EQ(got.size(), want);
    EXPECT_EQ(got[0].substr(0, 23), "INF: started process 0x");
    EXPECT_EQ(got[1], std::string("INF: worker ") + plan.name);
    EXPECT_EQ(got[2], "ERR: connect(3, NULL, 16) returned -1 [" +
                          std::to_string(10060 + plan.name) + "]");
    EXPECT_EQ(got[3].substr(0, 12), "INF: send(3,");
    EXPECT_EQ(got[4], "0000  75 6E 6C 6F 61 64 65 64:" + std::string(24, ' ') +
                          " unloaded");
    if (plan.disables) {
      EXPECT_EQ(got[5].substr(0, 23), "INF: stopped process 0x");
    }
    if (plan.outlives_copy) {
      EXPECT_EQ(got[want - 2], "INF: second copy");
      EXPECT_EQ(got[want - 1].substr(0, 23), "INF: stopped process 0x");
    }
  }
}

// A thread that ends without switching its trace off gives its context
// back as it ends, without a stop banner: the next thread the system gives
// its id, here through the seam, finds none. A context still live at an
// unload that goes on without the library (FreeLibrary) is given back then:
// nothing leaks, and the table starts empty again.
TEST_F(Unload, EndedThreadsContextIsGivenBackThenTheRestAtUnload) {
  static std::atomic<uint32_t> fake_id{0x7A11};
  nq::g_os.thread_id = [] { return fake_id.load(); };
  const std::string file = File('F');
  std::thread([&] {
    EXPECT_EQ(WSAEnableTrace(file.c_str(), 0), 1);
    EXPECT_EQ(NetQuillWrite(0, "first owner", 0), 1);
  }).join();
  std::thread([&] {
    EXPECT_EQ(NetQuillWrite(0, "next owner of the id", 0), 0);
    EXPECT_EQ(WSAGetTraceUsage(), 0);
  }).join();
  nq::g_os = nq::NativeOsServices();
  EXPECT_EQ(WSAEnableTrace(File('G').c_str(), 0), 1);
  nq::LibraryDetach(true);
  nq::LibraryAttach();
  EXPECT_EQ(WSAGetTraceUsage(), 0);
  EXPECT_EQ(nq::g_table.slots_in_use, 0);
  EXPECT_EQ(NetQuillWrite(0, "after", 0), 0);
  auto lines = Lines(file);
  ASSERT_EQ(lines.size(), 2u);  // no stop banner: the thread end is silent
  EXPECT_EQ(nqtest::TagAndText(lines[1]), "INF: first owner");
  EXPECT_EQ(Lines(File('G')).size(), 1u);  // nor is the unload
}

// The shipped library itself, loaded at run time: threads that end with
// their trace on give their slots back (a thread key's destructor on POSIX,
// DLL_THREAD_DETACH on Windows), so more of them than the table holds
// still all trace.
TEST_F(Unload, ShippedLibraryFreesTheContextsOfEndedThreads) {
  void *lib = LoadLib(kLibrary);
  ASSERT_NE(lib, nullptr);
  Api api = BindAll(lib);
  const std::string file = File('T');
  for (int i = 0; i < nq::kMaxContexts + 8; ++i) {
    int enabled = 0;
    std::thread([&] { enabled = api.enable(file.c_str(), 1); }).join();
    ASSERT_EQ(enabled, 1) << i;
  }
  EXPECT_EQ(api.usage(), 0);
  EXPECT_EQ(api.enable(file.c_str(), 1), 1);
  EXPECT_EQ(api.disable(), 1);
  ASSERT_TRUE(UnloadLib(lib));
}

}  // namespace
