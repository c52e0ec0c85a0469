// The library frame and the per-thread contexts: version query, enabling
// and nesting, paths, flags, module names, banners and the context table.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/version.h"
#include "core/context.h"
#include "output/format.h"
#include "support/test_env.h"

using namespace nqtest;

namespace {

TEST(Version, RecordChecks) {
  EXPECT_EQ(DllGetVersion(nullptr), static_cast<NQ_HRESULT>(0x80000005u));
  for (uint32_t size : {0u, 19u, 24u}) {
    NQ_DLLVERSIONINFO info = {size, 7, 7, 7, 7};
    EXPECT_EQ(DllGetVersion(&info), static_cast<NQ_HRESULT>(0x80000003u));
    EXPECT_EQ(info.dwMajorVersion, 7u);
    EXPECT_EQ(info.dwBuildNumber, 7u);
    EXPECT_EQ(info.dwPlatformID, 7u);
  }
  NQ_DLLVERSIONINFO info = {20, 0, 9, 0, 0};
  EXPECT_EQ(DllGetVersion(&info), 0);
  EXPECT_EQ(info.cbSize, 20u);
  EXPECT_EQ(info.dwMajorVersion, static_cast<unsigned>(NQ_VERSION_MAJOR));
  EXPECT_EQ(info.dwMinorVersion, static_cast<unsigned>(NQ_VERSION_MINOR));
  EXPECT_EQ(info.dwBuildNumber, static_cast<unsigned>(NQ_VERSION_BUILD));
  EXPECT_EQ(info.dwPlatformID, static_cast<unsigned>(NQ_VERSION_PLATFORM));
}

class Control : public TraceTest {};

// The reported version as the start banner ends with it.
std::string VersionTag() {
  char buf[48];
  nq::Format(buf, sizeof buf, "[%d.%d.%d]", NQ_VERSION_MAJOR, NQ_VERSION_MINOR,
             NQ_VERSION_BUILD);
  return buf;
}

std::string StartText(uint32_t id) {
  char buf[128];
  nq::Format(buf, sizeof buf,
             "INF: started process 0x%lX trace on 12-07-2026 14:05:09 %s",
             static_cast<unsigned long>(id), VersionTag().c_str());
  return buf;
}

std::string StopText(uint32_t id) {
  char buf[128];
  nq::Format(buf, sizeof buf,
             "INF: stopped process 0x%lX trace on 12-07-2026 14:05:09",
             static_cast<unsigned long>(id));
  return buf;
}

TEST_F(Control, NestedEnablesNeedAsManyDisables) {
  std::string file = Path("nest.log");
  uint32_t self = nq::g_os.thread_id();
  ASSERT_EQ(WSAEnableTrace(file.c_str(), 0), 1);
  ASSERT_EQ(WSAEnableTrace(Path("other.log").c_str(), 7), 1);
  EXPECT_EQ(WSAGetTraceUsage(), 1);
  EXPECT_EQ(WSAGetTraceFlags(), 0u);  // the nested call's flags are ignored
  char buf[300];
  EXPECT_EQ(WSAGetTraceFile(buf, sizeof buf), static_cast<int>(file.size()));
  EXPECT_EQ(file, buf);
  ASSERT_EQ(WSADisableTrace(), 1);
  EXPECT_EQ(WSAGetTraceUsage(), 1);
  EXPECT_EQ(NetQuillWrite(0, "still on", 0), 1);
  ASSERT_EQ(WSADisableTrace(), 1);
  EXPECT_EQ(WSAGetTraceUsage(), 0);
  EXPECT_EQ(WSADisableTrace(), 0);
  auto lines = Lines(file);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(TagAndText(lines[0]), StartText(self));
  EXPECT_EQ(TagAndText(lines[1]), "INF: still on");
  EXPECT_EQ(TagAndText(lines[2]), StopText(self));
  EXPECT_FALSE(Exists(Path("other.log")));
}

TEST_F(Control, BannerLayoutAndThreadIdInHex) {
  // A thread id given by the system is printed in upper-case hex.
  nq::g_os.thread_id = [] { return 0x1A4u; };
  std::string file = Path("banner.log");
  ASSERT_EQ(WSAEnableTrace(file.c_str(), 0), 1);
  Fakes::tick = 1000 + 42;
  ASSERT_EQ(WSADisableTrace(), 1);
  EXPECT_EQ(Lines(file),
            (std::vector<std::string>{
                "MYAPP 140509 0000 INF: started process 0x1A4 trace on "
                "12-07-2026 14:05:09 " +
                    VersionTag(),
                "MYAPP 140509 0042 INF: stopped process 0x1A4 trace on "
                "12-07-2026 14:05:09"}));
}

TEST_F(Control, SettersChangeWhatNestedEnablesDoNot) {
  ASSERT_EQ(WSAEnableTrace(Path("a.log").c_str(), 4), 1);
  EXPECT_EQ(WSASetTraceFlags(2), 4u);
  EXPECT_EQ(WSAGetTraceFlags(), 2u);
  EXPECT_EQ(WSASetTraceFile(Path("b.log").c_str()), 1);
  char buf[300];
  WSAGetTraceFile(buf, sizeof buf);
  EXPECT_EQ(Path("b.log"), buf);
}

TEST_F(Control, NothingWorksWithoutAContext) {
  char buf[8] = "keep";
  EXPECT_EQ(WSASetTraceFlags(4), 0u);
  EXPECT_EQ(WSAGetTraceFlags(), 0u);
  EXPECT_EQ(WSASetTraceFile("x.log"), 0);
  EXPECT_EQ(WSAGetTraceFile(buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "keep");
  EXPECT_EQ(WSADisableTrace(), 0);
  EXPECT_EQ(WSAGetTraceUsage(), 0);
}

TEST_F(Control, DefaultPathAndCopiesOut) {
  std::string expected = dir_ + nq::kPathSeparator + "NQSPOOL.LOG";
  for (const char *path : {static_cast<const char *>(nullptr), ""}) {
    ASSERT_EQ(WSAEnableTrace(path, 0), 1);
    char buf[300];
    EXPECT_EQ(WSAGetTraceFile(buf, sizeof buf),
              static_cast<int>(expected.size()));
    EXPECT_EQ(expected, buf);
    ASSERT_EQ(WSADisableTrace(), 1);
  }
  EXPECT_EQ(Lines(expected).size(), 4u);  // two starts, two stops

  // A temporary directory without its separator gets one.
  Fakes::temp_dir = dir_;
  ASSERT_EQ(WSAEnableTrace(nullptr, 0), 1);
  char buf[300];
  WSAGetTraceFile(buf, sizeof buf);
  EXPECT_EQ(expected, buf);

  // Copies: size 1 gives only a terminator, short sizes cut.
  memset(buf, 'Z', sizeof buf);
  EXPECT_EQ(WSAGetTraceFile(buf, 1), 0);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(WSAGetTraceFile(buf, 5), 4);
  EXPECT_EQ(expected.substr(0, 4), buf);
  int len = static_cast<int>(expected.size());
  EXPECT_EQ(WSAGetTraceFile(buf, len), len - 1);
  EXPECT_EQ(WSAGetTraceFile(buf, len + 1), len);
  EXPECT_EQ(WSAGetTraceFile(buf, 0), 0);
  EXPECT_EQ(WSAGetTraceFile(buf, -3), 0);
  EXPECT_EQ(WSAGetTraceFile(nullptr, 10), 0);
}

TEST_F(Control, DefaultPathWithoutAUsableTemporaryDirectory) {
  char buf[300];
  Fakes::temp_dir = "";
  ASSERT_EQ(WSAEnableTrace(nullptr, 1), 1);
  WSAGetTraceFile(buf, sizeof buf);
  EXPECT_STREQ(buf, "NQSPOOL.LOG");
  // 245 characters and a separator leave no room for the name.
  Fakes::temp_dir = std::string(244, 'd') + nq::kPathSeparator;
  EXPECT_EQ(WSASetTraceFile(nullptr), 1);
  WSAGetTraceFile(buf, sizeof buf);
  EXPECT_STREQ(buf, "NQSPOOL.LOG");
  // 243 and a separator plus the 11 of the name fill the 255 exactly.
  Fakes::temp_dir = std::string(243, 'd') + nq::kPathSeparator;
  EXPECT_EQ(WSASetTraceFile(""), 1);
  EXPECT_EQ(WSAGetTraceFile(buf, sizeof buf), 255);
  EXPECT_EQ(Fakes::temp_dir + "NQSPOOL.LOG", buf);
}

TEST_F(Control, LongPathsAreCutTo255) {
  std::string longer(300, 'p');
  ASSERT_EQ(WSAEnableTrace(longer.c_str(), 1), 1);
  char buf[400];
  EXPECT_EQ(WSAGetTraceFile(buf, sizeof buf), 255);
  EXPECT_EQ(longer.substr(0, 255), buf);
}

TEST_F(Control, ModuleNames) {
  struct Case {
    std::string file;
    std::string name;
  };
  const char sep = nq::kPathSeparator;
  const Case cases[] = {
      {std::string("x") + sep + "My.Tool.exe", "MY.TOOL"},
      {std::string("x") + sep + "y" + sep + "client", "CLIENT"},
      {"bare.exe", "BARE"},
      {std::string("x") + sep + "a1_b-c\xe9z.bin", "A1_B-C\xe9Z"},
      {std::string("x") + sep + std::string(100, 'q') + ".exe",
       std::string(63, 'Q')},
  };
  for (const Case &c : cases) {
    Fakes::module_file = c.file;
    std::string file = Path("m.log");
    ASSERT_EQ(WSAEnableTrace(file.c_str(), 0), 1);
    ASSERT_EQ(WSADisableTrace(), 1);
    std::string line = Lines(file)[0];
    EXPECT_EQ(line.substr(0, line.find(' ')), c.name) << c.file;
    RemoveTree(file);
  }
}

TEST_F(Control, ModuleNameFallsBackToTheThreadId) {
  nq::g_os.thread_id = [] { return 0xBEEFu; };
  for (int without_module = 0; without_module < 2; ++without_module) {
    Fakes::main_module = without_module ? 0 : 1;
    Fakes::module_file = without_module ? "x.exe" : "";
    std::string file = Path("id.log");
    ASSERT_EQ(WSAEnableTrace(file.c_str(), 0), 1);
    ASSERT_EQ(WSADisableTrace(), 1);
    EXPECT_EQ(Lines(file)[0].substr(0, 9), "0000BEEF ");
    RemoveTree(file);
  }
}

TEST_F(Control, FilteringFlagsSuppressBannersButNotTheDateRefresh) {
  std::string file = Path("quiet.log");
  ASSERT_EQ(WSAEnableTrace(file.c_str(), TRACE_FLAG_ERRORS), 1);
  ASSERT_EQ(WSADisableTrace(), 1);
  ASSERT_EQ(WSAEnableTrace(file.c_str(), TRACE_FLAG_WARNINGS), 1);
  ASSERT_EQ(WSADisableTrace(), 1);
  EXPECT_FALSE(Exists(file));
  EXPECT_EQ(Fakes::zone_refreshes.load(), 4);
}

TEST_F(Control, BannerThatCannotBeWrittenStillEnables) {
  std::string file = Path("no-such-dir") + nq::kPathSeparator + "t.log";
  ASSERT_EQ(WSAEnableTrace(file.c_str(), 0), 1);
  EXPECT_EQ(WSAGetTraceUsage(), 1);
  EXPECT_EQ(WSADisableTrace(), 1);
  EXPECT_EQ(WSAGetTraceUsage(), 0);
}

TEST_F(Control, OutOfMemoryRefusesTheEnable) {
  nq::g_os.alloc = [](size_t) -> void * { return nullptr; };
  EXPECT_EQ(WSAEnableTrace(Path("oom.log").c_str(), 0), 0);
  EXPECT_EQ(WSAGetTraceUsage(), 0);
  nq::g_os.alloc = nq::NativeOsServices().alloc;
  EXPECT_EQ(WSAEnableTrace(Path("oom.log").c_str(), 0), 1);
  EXPECT_EQ(nq::g_table.slots_in_use, 1);  // the slot taken earlier is reused
}

// Threads that hold their context until told to let go.
class Holders {
 public:
  explicit Holders(const std::string &file) : file_(file) {}
  ~Holders() { ReleaseAll(); }

  // Starts a thread that enables and waits; returns what the enable gave.
  int Add() {
    std::unique_lock<std::mutex> lock(mu_);
    size_t index = threads_.size();
    results_.push_back(-1);
    release_.push_back(false);
    threads_.emplace_back([this, index] {
      int r = WSAEnableTrace(file_.c_str(), 1);
      std::unique_lock<std::mutex> l(mu_);
      results_[index] = r;
      cv_.notify_all();
      cv_.wait(l, [&] { return release_[index]; });
      l.unlock();
      WSADisableTrace();
    });
    cv_.wait(lock, [&] { return results_[index] != -1; });
    return results_[index];
  }

  void Release(size_t index) {
    {
      std::lock_guard<std::mutex> l(mu_);
      release_[index] = true;
      cv_.notify_all();
    }
    threads_[index].join();
  }

  void ReleaseAll() {
    for (size_t i = 0; i < threads_.size(); ++i) {
      if (threads_[i].joinable()) Release(i);
    }
  }

 private:
  std::string file_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::thread> threads_;
  std::vector<int> results_;
  std::vector<bool> release_;
};

int SlotOf(uint32_t thread_id) {
  for (int i = 0; i < nq::g_table.slots_in_use; ++i) {
    if (nq::g_table.slots[i] && nq::g_table.slots[i]->thread_id == thread_id) {
      return i;
    }
  }
  return -1;
}

TEST_F(Control, TableOf128AndSlotReuse) {
  Holders holders(Path("many.log"));
  for (int i = 0; i < 128; ++i) ASSERT_EQ(holders.Add(), 1) << i;
  EXPECT_EQ(WSAGetTraceUsage(), 128);
  EXPECT_EQ(holders.Add(), 0);  // the 129th
  EXPECT_EQ(WSAGetTraceUsage(), 128);
  holders.Release(57);
  EXPECT_EQ(nq::g_table.slots[57], nullptr);
  ASSERT_EQ(WSAEnableTrace(Path("mine.log").c_str(), 1), 1);
  EXPECT_EQ(SlotOf(nq::g_os.thread_id()), 57);
  EXPECT_EQ(holders.Add(), 0);
  ASSERT_EQ(WSADisableTrace(), 1);
  holders.ReleaseAll();
  EXPECT_EQ(WSAGetTraceUsage(), 0);
  EXPECT_EQ(nq::g_table.slots_in_use, 0);
}

TEST_F(Control, FreedSlotsBelowTheMarkAreReusedLowestFirst) {
  Holders holders(Path("three.log"));
  ASSERT_EQ(holders.Add(), 1);
  ASSERT_EQ(holders.Add(), 1);
  ASSERT_EQ(holders.Add(), 1);
  holders.Release(1);
  EXPECT_EQ(nq::g_table.slots_in_use, 3);
  EXPECT_EQ(WSAGetTraceUsage(), 2);
  ASSERT_EQ(WSAEnableTrace(Path("fourth.log").c_str(), 1), 1);
  EXPECT_EQ(SlotOf(nq::g_os.thread_id()), 1);
  holders.ReleaseAll();
  ASSERT_EQ(WSADisableTrace(), 1);
  EXPECT_EQ(WSAGetTraceUsage(), 0);
  EXPECT_EQ(nq::g_table.slots_in_use, 0);
}

// A thread that ends without disabling gives its context back, without a
// stop banner; the next thread that the system gives the same id starts
// without a trace.
TEST_F(Control, ContextOfAnEndedThreadIsFreedNotInherited) {
  static std::atomic<uint32_t> fake_id{0x5150};
  nq::g_os.thread_id = [] { return fake_id.load(); };
  std::string file = Path("reuse.log");
  std::thread([&] {
    ASSERT_EQ(WSAEnableTrace(file.c_str(), 0), 1);
    ASSERT_EQ(WSAEnableTrace(file.c_str(), 0), 1);  // nested, too
  }).join();
  EXPECT_EQ(WSAGetTraceUsage(), 0);
  EXPECT_EQ(nq::g_table.slots_in_use, 0);
  std::thread([&] {
    EXPECT_EQ(NetQuillWrite(0, "inherited", 0), 0);
    EXPECT_EQ(WSAGetTraceFlags(), 0u);
    EXPECT_EQ(WSADisableTrace(), 0);
  }).join();
  auto lines = Lines(file);
  ASSERT_EQ(lines.size(), 1u);  // the start banner alone
  EXPECT_EQ(TagAndText(lines[0]).substr(0, 21), "INF: started process ");
}

// More threads than the table holds, one after another, each ending with
// its trace still on: none keeps a slot, so tracing never runs out.
TEST_F(Control, EndedThreadsNeverFillTheTable) {
  std::string file = Path("ended.log");
  for (int i = 0; i < nq::kMaxContexts + 8; ++i) {
    int enabled = 0;
    std::thread([&] { enabled = WSAEnableTrace(file.c_str(), 1); }).join();
    ASSERT_EQ(enabled, 1) << i;
  }
  EXPECT_EQ(WSAGetTraceUsage(), 0);
  ASSERT_EQ(WSAEnableTrace(file.c_str(), 1), 1);
  EXPECT_EQ(WSAGetTraceUsage(), 1);
  EXPECT_EQ(WSADisableTrace(), 1);
}

}  // namespace
