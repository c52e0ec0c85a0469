// Calls that come back into the library on the thread that is inside it:
// from the error callbacks of a running hook, and from a signal handler
// that interrupts one. They must neither free nor replace what the running
// call uses, nor recurse; other threads trace on as usual.
#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/context.h"
#include "support/test_env.h"

using namespace nqtest;

namespace {

thread_local int t_code;
// What the callbacks do besides their job, on the thread that runs them.
thread_local std::function<void()> *t_on_get;
thread_local std::function<void()> *t_on_set;

int NQ_CALL GetCode() {
  if (t_on_get != nullptr) (*t_on_get)();
  return t_code;
}

void NQ_CALL SetCode(int code) {
  if (t_on_set != nullptr) (*t_on_set)();
  t_code = code;
}

class Reentry : public TraceTest {
 protected:
  void SetUp() override {
    TraceTest::SetUp();
    TraceErrorHooks hooks = {GetCode, SetCode};
    WSASetupTrace(&hooks);
    t_code = 10061;
    t_on_get = nullptr;
    t_on_set = nullptr;
    file_ = Path("reentry.log");
    ASSERT_EQ(WSAEnableTrace(file_.c_str(), 0), 1);
  }

  void TearDown() override {
    t_on_get = nullptr;
    t_on_set = nullptr;
    TraceErrorHooks none = {nullptr, nullptr};
    WSASetupTrace(&none);
    TraceTest::TearDown();
  }

  std::vector<std::string> Records(const std::string &file) {
    std::vector<std::string> out;
    auto lines = Lines(file);
    for (size_t i = 1; i < lines.size(); ++i) {
      out.push_back(TagAndText(lines[i]));
    }
    return out;
  }

  std::string file_;
};

const std::string kRefused = "ERR: connect(3, NULL, 16) returned -1 [10061]";

// A get-error callback that switches the trace off would free the context
// the hook is about to write with.
TEST_F(Reentry, DisableFromACallbackKeepsTheRunningCallsContext) {
  nq::TraceContext *ctx = nq::FindContext();
  int disabled = -1;
  std::function<void()> disable = [&] { disabled = WSADisableTrace(); };
  t_on_get = &disable;
  EXPECT_EQ(TX_connect(-1, 3, nullptr, 16), -1);
  t_on_get = nullptr;
  EXPECT_EQ(disabled, 0);
  EXPECT_EQ(nq::FindContext(), ctx);
  EXPECT_EQ(WSAGetTraceUsage(), 1);
  EXPECT_EQ(t_code, 10061);
  EXPECT_EQ(Records(file_), std::vector<std::string>{kRefused});
  EXPECT_EQ(WSADisableTrace(), 1);  // outside, it does its job
  EXPECT_EQ(WSAGetTraceUsage(), 0);
}

// Levels above the last may come and go inside; the last may not go.
TEST_F(Reentry, NestingInsideAndTheFileStays) {
  std::vector<int> got;
  std::function<void()> calls = [&] {
    got.push_back(WSAEnableTrace(Path("other.log").c_str(), 4));
    got.push_back(WSADisableTrace());
    got.push_back(WSADisableTrace());
    got.push_back(WSASetTraceFile(Path("other.log").c_str()));
    got.push_back(NetQuillWrite(0, "from inside", 0));
  };
  t_on_set = &calls;
  EXPECT_EQ(TX_connect(-1, 3, nullptr, 16), -1);
  t_on_set = nullptr;
  EXPECT_EQ(got, (std::vector<int>{1, 1, 0, 0, 0}));
  nq::TraceContext *ctx = nq::FindContext();
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(ctx->nesting, 1);
  EXPECT_EQ(ctx->flags, 0u);
  char path[300];
  EXPECT_EQ(WSAGetTraceFile(path, sizeof path), static_cast<int>(file_.size()));
  EXPECT_EQ(path, file_);
  EXPECT_FALSE(Exists(Path("other.log")));
  EXPECT_EQ(Records(file_), std::vector<std::string>{kRefused});
}

// A callback that calls a hook would recurse through its own callback for
// ever; inside, the hook returns its result and does nothing.
TEST_F(Reentry, HookFromACallbackPassesThrough) {
  int depth = 0;
  std::vector<int> inner;
  std::function<void()> hook = [&] {
    if (++depth > 3) return;  // the old recursion, cut short
    inner.push_back(TX_connect(-7, 9, nullptr, 16));
    inner.push_back(static_cast<int>(TX_send(5, 9, "abcde", 5, 0)));
  };
  t_on_get = &hook;
  EXPECT_EQ(TX_connect(-1, 3, nullptr, 16), -1);
  t_on_get = nullptr;
  EXPECT_EQ(depth, 1);
  EXPECT_EQ(inner, (std::vector<int>{-7, 5}));
  EXPECT_EQ(Records(file_), std::vector<std::string>{kRefused});
}

// While one thread sits inside a callback, another thread's hooks work.
TEST_F(Reentry, OtherThreadsAreNotHeldUp) {
  std::string theirs = Path("theirs.log");
  std::atomic<int> stage{0};
  std::function<void()> wait = [&] {
    stage = 1;
    while (stage.load() != 2) std::this_thread::yield();
  };
  std::thread other([&] {
    while (stage.load() != 1) std::this_thread::yield();
    ASSERT_EQ(WSAEnableTrace(theirs.c_str(), 0), 1);
    t_code = 10054;
    EXPECT_EQ(TX_connect(-1, 4, nullptr, 16), -1);
    EXPECT_EQ(NetQuillWrite(0, "meanwhile", 0), 1);
    EXPECT_EQ(WSADisableTrace(), 1);
    stage = 2;
  });
  t_on_get = &wait;
  EXPECT_EQ(TX_connect(-1, 3, nullptr, 16), -1);
  t_on_get = nullptr;
  other.join();
  EXPECT_EQ(Records(file_), std::vector<std::string>{kRefused});
  auto records = Records(theirs);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0], "ERR: connect(4, NULL, 16) returned -1 [10054]");
  EXPECT_EQ(records[1], "INF: meanwhile");
}

// A signal handler that interrupts its thread inside the library, here
// raised from within the running hook, gets its calls passed through.
// What the handler's three calls returned; plain storage, as a handler may
// not allocate.
volatile int g_handler_results[3];

extern "C" void CallHooksFromHandler(int) {
  g_handler_results[0] = TX_connect(-5, 8, nullptr, 16);
  g_handler_results[1] = NetQuillWrite(0, "from the handler", 0);
  g_handler_results[2] = WSADisableTrace();
}

TEST_F(Reentry, SignalHandlerOnTheSameThreadPassesThrough) {
  for (volatile int &r : g_handler_results) r = 99;
  auto previous = signal(SIGINT, CallHooksFromHandler);
  ASSERT_NE(previous, SIG_ERR);
  std::function<void()> interrupt = [] { raise(SIGINT); };
  t_on_get = &interrupt;
  EXPECT_EQ(TX_connect(-1, 3, nullptr, 16), -1);
  t_on_get = nullptr;
  signal(SIGINT, previous);
  EXPECT_EQ(g_handler_results[0], -5);
  EXPECT_EQ(g_handler_results[1], 0);
  EXPECT_EQ(g_handler_results[2], 0);
  EXPECT_EQ(WSAGetTraceUsage(), 1);
  EXPECT_EQ(Records(file_), std::vector<std::string>{kRefused});
}

}  // namespace
