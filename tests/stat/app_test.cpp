#include "app.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "options.h"
#include "test_support.h"

using nqstattest::Crlf;
using nqstattest::RunCli;
using nqstattest::RunResult;

namespace {

const std::map<std::string, std::string> kFiles = {
    {"one.trace",
     Crlf({"APP 100000 0000 INF: started process 0x10 trace on 12-07-2026 "
           "10:00:00 [4.0.4000]",
           "APP 100001 0250 ERR: connect(3, 10.1.2.3:80, 16) returned -1 "
           "[10061]",
           "APP 100002 0000 INF: send(3, 0x4a2f10, 100, 0) returned 60",
           "    0000  48 69                                            Hi",
           "APP 100003 0012 WRN: recv(3, 0x4a2f10, 512, 0) returned -1 [10035]",
           "APP 100003 0000 ERR: giving up on the server",
           "SVC 100004 0007 ERR: gethostbyname(\"nohost\") returned NULL "
           "[11001]",
           "APP 100004 0001 INF: stopped process 0x10 trace on 12-07-2026 "
           "10:00:04"})},
    {"two.trace",
     "SVC 100005 0020 WRN: recv(4, 0x10, 8, 0) returned -1 [10035]\n"
     "garbage\n"
     "SVC 100005 0020 INF: recv(4, 0x10, 8, 0) returned 8"},
    {"-",
     "SVC 100006 0001 ERR: socket(2, 3, 255) returned INVALID_SOCKET "
     "[10013]\r\n"},
};

// The "lines" block of the text report, enough to see what was counted.
std::string LinesBlock(const std::string &out) {
  const std::size_t at = out.find("\nlines\n");
  return at == std::string::npos ? "" : out.substr(at + 1);
}

TEST(CliErrors, ListsFailingLinesWithFileAndLine) {
  const RunResult r = RunCli({"--errors", "one.trace", "two.trace"}, kFiles);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "one.trace:2: APP 100001 0250 ERR: connect(3, 10.1.2.3:80, 16) "
            "returned -1 [10061]\n"
            "one.trace:5: APP 100003 0012 WRN: recv(3, 0x4a2f10, 512, 0) "
            "returned -1 [10035]\n"
            "one.trace:6: APP 100003 0000 ERR: giving up on the server\n"
            "one.trace:7: SVC 100004 0007 ERR: gethostbyname(\"nohost\") "
            "returned NULL [11001]\n"
            "two.trace:1: SVC 100005 0020 WRN: recv(4, 0x10, 8, 0) returned -1 "
            "[10035]\n");
  EXPECT_EQ(r.err, "two.trace:2: malformed line (bad clock field)\n");
}

TEST(CliErrors, CombinesWithTheModuleFilterAndStdin) {
  const RunResult r =
      RunCli({"--module", "svc", "--errors", "one.trace", "-"}, kFiles);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "one.trace:7: SVC 100004 0007 ERR: gethostbyname(\"nohost\") "
            "returned NULL [11001]\n"
            "<stdin>:1: SVC 100006 0001 ERR: socket(2, 3, 255) returned "
            "INVALID_SOCKET [10013]\n");
  EXPECT_EQ(r.opened, (std::vector<std::string>{"one.trace", "-"}));
}

TEST(CliModule, RepeatedModulesAndTheEqualsForm) {
  const RunResult app =
      RunCli({"--module=app", "one.trace", "two.trace"}, kFiles);
  EXPECT_EQ(app.status, 0);
  EXPECT_NE(app.out.find("\nmodule APP\n"), std::string::npos);
  EXPECT_EQ(app.out.find("module SVC"), std::string::npos);
  EXPECT_EQ(LinesBlock(app.out),
            "lines\n"
            "  read                      11\n"
            "  text                       6\n"
            "    calls                    3\n"
            "    trace starts             1\n"
            "    trace stops              1\n"
            "    other records            1\n"
            "  dump                       1\n"
            "  malformed                  1\n");

  const RunResult both = RunCli(
      {"--module", "SVC", "--module", "App", "one.trace", "two.trace"}, kFiles);
  EXPECT_NE(both.out.find("\nmodule APP\n"), std::string::npos);
  EXPECT_NE(both.out.find("\nmodule SVC\n"), std::string::npos);
  EXPECT_NE(LinesBlock(both.out).find("    calls                    6\n"),
            std::string::npos);

  const RunResult none = RunCli({"--module", "NOPE", "one.trace"}, kFiles);
  EXPECT_NE(none.out.find("\nno socket calls\n"), std::string::npos);
}

TEST(CliInput, NoFileOrDashReadsStdin) {
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"--top", "1"},
        std::vector<std::string>{"--top=1", "-"}}) {
    const RunResult r = RunCli(args, kFiles);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.opened, (std::vector<std::string>{"-"}));
    EXPECT_NE(r.out.find("netquill-stat: 1 file\n"), std::string::npos);
    EXPECT_NE(r.out.find("         1  <stdin>:1  SVC socket(2, 3, 255)"),
              std::string::npos)
        << r.out;
  }
}

TEST(CliInput, DoubleDashMakesTheRestFileNames) {
  const RunResult r = RunCli({"--", "--json", "-x"}, kFiles);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.opened, (std::vector<std::string>{"--json", "-x"}));
}

TEST(CliInput, UnopenableFileGivesStatusOneButTheRestIsSummarised) {
  const RunResult r = RunCli({"--json", "nope.trace", "two.trace"}, kFiles);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "netquill-stat: cannot open nope.trace: No such file\n"
            "two.trace:2: malformed line (bad clock field)\n");
  EXPECT_NE(r.out.find("{\"name\": \"nope.trace\", \"opened\": false},\n"
                       "    {\"name\": \"two.trace\", \"opened\": true}\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"lines\": {\"read\": 3, \"text\": 2, \"calls\": 2,"),
            std::string::npos);
}

class FailingSource : public nqtrace::ByteSource {
 public:
  std::size_t Read(char *buf, std::size_t n) override {
    if (done_ || n < 5) return 0;
    done_ = true;
    std::copy_n("A 10\n", 5, buf);
    return 5;
  }
  bool Failed() const override { return done_; }

 private:
  bool done_ = false;
};

TEST(CliInput, ReadErrorGivesStatusOne) {
  std::ostringstream out, err;
  auto open = [](const std::string &,
                 std::string &) -> std::unique_ptr<nqtrace::ByteSource> {
    return std::make_unique<FailingSource>();
  };
  EXPECT_EQ(nqstat::RunStat({"bad.trace"}, open, out, err), 1);
  EXPECT_EQ(err.str(),
            "bad.trace:1: malformed line (bad clock field)\n"
            "netquill-stat: read error in bad.trace\n");
  EXPECT_NE(out.str().find("  read                       1\n"),
            std::string::npos);
}

TEST(CliUsage, HelpGoesToStdout) {
  for (const char *flag : {"-h", "--help"}) {
    const RunResult r = RunCli({flag, "one.trace"}, kFiles);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, nqstat::kUsage);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.opened.empty());
  }
}

TEST(CliUsage, BadUsageIsStatusTwoWithAReason) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--bogus", "one.trace"}, "unknown option --bogus"},
      {{"-x"}, "unknown option -x"},
      {{"one.trace", "--top"}, "option --top needs a value"},
      {{"--module"}, "option --module needs a value"},
      {{"--top", "lots"},
       "--top needs a whole number from 0 to 1000000, not 'lots'"},
      {{"--top", "-1"},
       "--top needs a whole number from 0 to 1000000, not '-1'"},
      {{"--top="}, "--top needs a whole number from 0 to 1000000, not ''"},
      {{"--top", "1000001"},
       "--top needs a whole number from 0 to 1000000, not '1000001'"},
      {{"--json=yes"}, "option --json takes no value"},
      {{"--errors", "--json", "one.trace"},
       "--errors and --json cannot be combined"},
  };
  for (const auto &c : cases) {
    const RunResult r = RunCli(c.first, kFiles);
    EXPECT_EQ(r.status, 2) << c.second;
    EXPECT_EQ(r.out, "") << c.second;
    EXPECT_EQ(r.err, "netquill-stat: " + c.second + "\n" + nqstat::kUsage);
    EXPECT_TRUE(r.opened.empty()) << c.second;
  }
}

TEST(CliUsage, TopAcceptsItsBounds) {
  nqstat::Options o;
  std::string error;
  ASSERT_TRUE(nqstat::ParseOptions({"--top", "0"}, o, error)) << error;
  EXPECT_EQ(o.top, 0u);
  ASSERT_TRUE(nqstat::ParseOptions({"--top=1000000"}, o, error)) << error;
  EXPECT_EQ(o.top, 1000000u);
  const RunResult r = RunCli({"--top", "0", "one.trace"}, kFiles);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("busiest lines"), std::string::npos);
}

}  // namespace
