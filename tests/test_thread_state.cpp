// The per-thread state: one record per thread, made on first use, which
// leaves the caller's system error state alone whenever it is reached, and
// is given back at thread end and at unload.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "control/frame.h"
#include "core/thread_state.h"
#include "hooks/formatters.h"
#include "support/syserr.h"
#include "support/test_env.h"

namespace {

using nqtest::SetSystemError;
using nqtest::SystemErrorIs;

// What a fresh thread finds: its own zeroed state, reached without a change
// to its error state (Windows: TlsGetValue sets the last error to 0).
TEST(ThreadState, FirstUseKeepsTheSystemError) {
  std::thread([] {
    SetSystemError(10035);
    nq::ThreadState *ts = nq::ThisThread();
    EXPECT_TRUE(SystemErrorIs(10035));
    ASSERT_NE(ts, nullptr);
    EXPECT_EQ(ts->last_error, 0);
    EXPECT_EQ(ts->in_library, 0);
    EXPECT_EQ(ts->context, nullptr);
    SetSystemError(183);
    EXPECT_EQ(nq::ThisThread(), ts);  // the same record on every call
    EXPECT_TRUE(SystemErrorIs(183));
    nq::ReleaseThisThread();
    EXPECT_TRUE(SystemErrorIs(183));
  }).join();
}

TEST(ThreadState, EachThreadHasItsOwn) {
  nq::ThreadState *mine = nq::ThisThread();
  ASSERT_NE(mine, nullptr);
  mine->in_library = 5;
  nq::ThreadState *theirs = nullptr;
  int their_mark = -1;
  std::thread([&] {
    theirs = nq::ThisThread();
    their_mark = theirs ? theirs->in_library : -1;
    if (theirs) theirs->in_library = 9;
  }).join();
  EXPECT_NE(theirs, mine);
  EXPECT_EQ(their_mark, 0);
  EXPECT_EQ(mine->in_library, 5);
  mine->in_library = 0;
}

// A thread's end gives its state back; anything the thread still does
// afterwards starts from a fresh one.
TEST(ThreadState, ThreadEndingForgetsEverything) {
  std::thread([] {
    nq::ThreadState *ts = nq::ThisThread();
    ASSERT_NE(ts, nullptr);
    ts->last_error = 10061;
    ts->in_library = 1;
    SetSystemError(10054);
    nq::ThreadEnding();
    EXPECT_TRUE(SystemErrorIs(10054));
    ts = nq::ThisThread();
    ASSERT_NE(ts, nullptr);
    EXPECT_EQ(ts->last_error, 0);
    EXPECT_EQ(ts->in_library, 0);
  }).join();
}

// Formatter texts live in the thread's state: a text handed out on one
// thread stays as it was while another thread formats.
TEST(ThreadState, FormatterTextsArePerThread) {
  const char *mine = nq::FormatIntResult(42);
  std::thread([] { nq::FormatIntResult(-7); }).join();
  EXPECT_STREQ(mine, "returned 42");
  EXPECT_EQ(mine,
            static_cast<nq::FormatterTexts *>(nq::ThreadTexts(nq::ThisThread()))
                ->int_result);
}

}  // namespace

class ThreadStateTrace : public nqtest::TraceTest {};

// A thread that found no context remembers that until a slot changes: a
// context that then appears under its id (here another thread that the
// system gave the same id) is found on its next call.
TEST_F(ThreadStateTrace, ContextAppearingUnderTheThreadsIdIsFound) {
  static std::atomic<uint32_t> fake_id{0x5EED};
  nq::g_os.thread_id = [] { return fake_id.load(); };
  const std::string file = Path("shared-id.log");
  std::mutex mu;
  std::condition_variable cv;
  int step = 0;
  auto await = [&](int s) {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return step >= s; });
  };
  auto advance = [&](int s) {
    std::lock_guard<std::mutex> lock(mu);
    step = s;
    cv.notify_all();
  };
  int before = -1, after = -1;
  std::thread first([&] {
    before = NetQuillWrite(0, "nobody yet", 0);
    advance(1);
    await(2);
    after = NetQuillWrite(0, "found", 0);
    advance(3);
  });
  std::thread second([&] {
    await(1);
    EXPECT_EQ(WSAEnableTrace(file.c_str(), 0), 1);
    advance(2);
    await(3);
    nqtest::DisableFully();
  });
  first.join();
  second.join();
  nq::g_os.thread_id = nq::NativeOsServices().thread_id;
  EXPECT_EQ(before, 0);
  EXPECT_EQ(after, 1);
  auto lines = Lines(file);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(nqtest::TagAndText(lines[1]), "INF: found");
}
