// Shared fixtures of the tests: a scratch directory per test, the system
// services replaced by fakes where the tests need control (clock, tick,
// module name, file output), and readers of trace files.
#ifndef NQ_TESTS_SUPPORT_TEST_ENV_H
#define NQ_TESTS_SUPPORT_TEST_ENV_H

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "netquill.h"
#include "platform/os.h"

namespace nqtest {

// The fake services; tests set these before acting.
struct Fakes {
  static std::atomic<uint32_t> tick;       // what tick_ms returns
  static nq::LocalTime clock;              // what local_time returns
  static std::string module_file;          // "" = the name cannot be had
  static uintptr_t main_module;            // 0 = no main module
  static std::string temp_dir;             // "" = none
  static std::atomic<int> fail_appends;    // appends to refuse from now on
  static std::atomic<int> appends;         // appends seen
  static std::atomic<int> zone_refreshes;  // local_time calls asking for it
};

// Installs the fakes for the duration of a test; files are still written
// for real, into a directory of the test's own.
class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string Path(const std::string &name) const;
  static std::string Read(const std::string &path);
  // The file split at CR LF; a line feed without its carriage return fails
  // the test.
  static std::vector<std::string> Lines(const std::string &path);
  static bool Exists(const std::string &path);

  std::string dir_;
};

// A thread tracing with dumps into entries.log, its error code read and
// set through code (the bridge's callbacks), for the tests that call the
// entries of the front ends directly.
class EntriesTest : public TraceTest {
 public:
  static int code;  // the caller's error code the bridge reads and sets

 protected:
  void SetUp() override;
  void TearDown() override;
  // The lines after the banner: tag and text, dump lines as they are.
  std::vector<std::string> Records();

  std::string file_;
};

// A whole file, and the same split at CR LF (a bare line feed fails the test).
std::string ReadFile(const std::string &path);
std::vector<std::string> ReadLines(const std::string &path);

// Leaves every level of tracing of the calling thread.
void DisableFully();

// A directory of its own under the system's temporary directory.
std::string MakeScratchDir(const std::string &tag);
void RemoveTree(const std::string &dir);

// The text of a text line after its fixed columns (module, clock, elapsed).
std::string TagAndText(const std::string &line);

// A pointer as the call lines print it: 0x and lower-case hex.
std::string Hex(const void *p);

// The text of a thread's start and stop banners; when: the date and time
// they print, by default those of the fake clock (or a mask in their place).
constexpr char kFakeClockText[] = "12-07-2026 14:05:09";
std::string StartBanner(uint32_t thread_id,
                        const std::string &when = kFakeClockText);
std::string StopBanner(uint32_t thread_id,
                       const std::string &when = kFakeClockText);

}  // namespace nqtest

#endif
