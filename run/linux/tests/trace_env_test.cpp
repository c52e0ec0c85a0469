// The settings both drop-ins read from the environment.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "trace_env.h"

namespace {

TEST(ParseFlags, DecimalAndHexAtTheirLimits) {
  uint32_t flags = 99;
  EXPECT_TRUE(nqdrop::ParseFlags("4", &flags));
  EXPECT_EQ(flags, 4u);
  EXPECT_TRUE(nqdrop::ParseFlags("0x1F", &flags));
  EXPECT_EQ(flags, 0x1Fu);
  EXPECT_TRUE(nqdrop::ParseFlags("0X6", &flags));
  EXPECT_EQ(flags, 6u);
  EXPECT_TRUE(nqdrop::ParseFlags("4294967295", &flags));
  EXPECT_EQ(flags, 0xFFFFFFFFu);
  EXPECT_TRUE(nqdrop::ParseFlags("0xffffffff", &flags));
  EXPECT_EQ(flags, 0xFFFFFFFFu);
  EXPECT_TRUE(nqdrop::ParseFlags("010", &flags));
  EXPECT_EQ(flags, 10u) << "a leading zero is not octal";
}

TEST(ParseFlags, RefusesWhatIsNotANumber) {
  for (const char *bad :
       {"", "0x", "-1", "+4", " 4", "4 ", "12x", "0x1G", "4294967296",
        "0x100000000", "99999999999999999999"}) {
    uint32_t flags = 7;
    EXPECT_FALSE(nqdrop::ParseFlags(bad, &flags)) << bad;
    EXPECT_EQ(flags, 7u) << bad;
  }
  uint32_t flags = 7;
  EXPECT_FALSE(nqdrop::ParseFlags(nullptr, &flags));
}

class TraceEnvTest : public ::testing::Test {
 protected:
  void SetUp() override { Clear(); }
  void TearDown() override { Clear(); }
  static void Clear() {
    unsetenv("NETQUILL_FILE");
    unsetenv("NETQUILL_FLAGS");
    unsetenv("NETQUILL_TRACE");
    unsetenv("NETQUILL_DUMP_MAX");
    unsetenv("NETQUILL_CALLS");
  }
};

TEST_F(TraceEnvTest, NothingSetTracesWithTheDefaults) {
  nqdrop::TraceEnv env = nqdrop::ReadTraceEnv();
  EXPECT_TRUE(env.on);
  EXPECT_EQ(env.flags, 0u);
  EXPECT_EQ(env.dump_max, 0u);
  EXPECT_EQ(env.calls, nqdrop::kAllCalls);
  EXPECT_STREQ(env.path, "");
}

uint64_t Bit(nqdrop::TracedCall call) { return uint64_t{1} << call; }

// Call sets as -e and NETQUILL_CALLS give them: the names the trace
// writes, the Linux-only ones included, or all but them after "!".
TEST(ParseCalls, NamesAsTheTraceWritesThem) {
  using namespace nqdrop;
  const std::pair<const char *, uint64_t> good[] = {
      {"send,WSAIsBlocking", Bit(kTraced_send) | Bit(kTraced_WSAIsBlocking)},
      {"trace=getnameinfo", Bit(kTraced_getnameinfo)},
      {"!select,accept", ~(Bit(kTraced_select) | Bit(kTraced_accept))}};
  for (const auto &[text, want] : good) {
    uint64_t calls = 0;
    EXPECT_TRUE(ParseCalls(text, &calls) && calls == want) << text;
  }
  // netquill-run.exe's Windows Sockets 2 names, a set of their own; a name
  // of both lists is in both.
  const std::tuple<const char *, uint64_t, uint64_t> both[] = {
      {"WSAPoll", 0, uint64_t{1} << kWinsock2_WSAPoll},
      {"!select,WSAPoll", ~Bit(kTraced_select),
       ~(uint64_t{1} << kWinsock2_WSAPoll)},
      {"connect", Bit(kTraced_connect), uint64_t{1} << kWinsock2_connect}};
  for (const auto &[text, want, want2] : both) {
    uint64_t calls = 0, calls2 = 0;
    EXPECT_TRUE(ParseCalls(text, &calls, &calls2) && calls == want &&
                calls2 == want2)
        << text;
  }
  for (const char *bad : {"", "!", "sen", "sends", "send,", "send,,recv",
                          "close", "accept4", "!!send", "poll"}) {
    uint64_t calls = 7;
    EXPECT_FALSE(ParseCalls(bad, &calls) || calls != 7) << bad;
  }
}

TEST_F(TraceEnvTest, DumpSizeAndCallsAreTakenAndTypingErrorsHideNothing) {
  setenv("NETQUILL_DUMP_MAX", "0x40", 1);
  setenv("NETQUILL_CALLS", "!select", 1);
  nqdrop::TraceEnv env = nqdrop::ReadTraceEnv();
  EXPECT_EQ(env.dump_max, 64u);
  EXPECT_EQ(env.calls, ~Bit(nqdrop::kTraced_select));
  setenv("NETQUILL_DUMP_MAX", "64k", 1);
  setenv("NETQUILL_CALLS", "selct", 1);
  env = nqdrop::ReadTraceEnv();
  EXPECT_EQ(env.dump_max, 0u);
  EXPECT_EQ(env.calls, nqdrop::kAllCalls);
}

TEST_F(TraceEnvTest, OnlyZeroSwitchesTracingOff) {
  setenv("NETQUILL_TRACE", "0", 1);
  EXPECT_FALSE(nqdrop::ReadTraceEnv().on);
  for (const char *on : {"1", "", "00", "no"}) {
    setenv("NETQUILL_TRACE", on, 1);
    EXPECT_TRUE(nqdrop::ReadTraceEnv().on) << on;
  }
}

TEST_F(TraceEnvTest, FileAndFlagsAreTaken) {
  setenv("NETQUILL_FILE", "/tmp/x.log", 1);
  setenv("NETQUILL_FLAGS", "0x4", 1);
  nqdrop::TraceEnv env = nqdrop::ReadTraceEnv();
  EXPECT_STREQ(env.path, "/tmp/x.log");
  EXPECT_EQ(env.flags, 4u);
  setenv("NETQUILL_FLAGS", "four", 1);
  EXPECT_EQ(nqdrop::ReadTraceEnv().flags, 0u);
}

TEST_F(TraceEnvTest, APathTheLibraryWouldCutIsRefused) {
  struct {
    size_t length;
    const char *per_process;
    bool taken;
  } cases[] = {{255, "0", true},
               {256, "0", false},
               {400, "0", false},
               {247, "1", true},
               {248, "1", false}};
  for (const auto &c : cases) {
    std::string path(c.length, 'p');
    setenv("NETQUILL_FILE", path.c_str(), 1);
    setenv("NETQUILL_PER_PROCESS", c.per_process, 1);
    nqdrop::TraceEnv env = nqdrop::ReadTraceEnv();
    EXPECT_EQ(env.on, c.taken) << c.length;
    EXPECT_EQ(env.path_refused, !c.taken) << c.length;
    EXPECT_EQ(std::string(env.path), c.taken ? path : "") << c.length;
  }
  unsetenv("NETQUILL_PER_PROCESS");
}

}  // namespace
