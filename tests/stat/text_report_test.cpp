#include "text_report.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "test_support.h"

using nqstat::Summary;
using nqstattest::Crlf;
using nqstattest::Scan;

namespace {

std::string Report(const Summary &s) {
  std::ostringstream out;
  nqstat::WriteTextReport(out, s);
  return out.str();
}

TEST(TextReport, ExactLayout) {
  Summary s(2);
  s.AddFile("a.trace", true);
  std::ostringstream err;
  Scan(
      Crlf(
          {"APP 100000 0000 INF: started process 0x10 trace on 12-07-2026 "
           "10:00:00 [4.0.4000]",
           "APP 100001 0250 ERR: connect(3, 10.1.2.3:80, 16) returned -1 "
           "[10061]",
           "APP 100002 0100 INF: connect(3, 10.1.2.3:80, 16) returned 0",
           "APP 100002 0000 INF: send(3, 0x4a2f10, 100, 0) returned 60",
           "    0000  48 69                                            Hi",
           "APP 100003 0012 WRN: recv(3, 0x4a2f10, 512, 0) returned -1 [10035]",
           "APP 100003 0000 INF: note to self",
           " 100004 0003 ERR: select(0, 0x0, 0x0, 0x0, 0x0) returned -1 "
           "[10107]",
           "APP 10000"}),
      s, err, {}, "a.trace");
  EXPECT_EQ(
      Report(s),
      "netquill-stat: 1 file\n"
      "\n"
      "module \"\"\n"
      "     calls     errors   warnings   total ms     max ms  function\n"
      "---------- ---------- ---------- ---------- ----------  "
      "----------------\n"
      "         1          1          0          3          3  select\n"
      "---------- ---------- ---------- ---------- ----------  "
      "----------------\n"
      "         1          1          0          3          3  total\n"
      "bytes sent 0, received 0\n"
      "\n"
      "module APP\n"
      "     calls     errors   warnings   total ms     max ms  function\n"
      "---------- ---------- ---------- ---------- ----------  "
      "----------------\n"
      "         2          1          0        350        250  connect\n"
      "         1          0          1         12         12  recv\n"
      "         1          0          0          0          0  send\n"
      "---------- ---------- ---------- ---------- ----------  "
      "----------------\n"
      "         4          1          1        362        250  total\n"
      "bytes sent 60, received 0\n"
      "\n"
      "error codes\n"
      "     count   code  name\n"
      "---------- ------  ----------------\n"
      "         1  10035  WSAEWOULDBLOCK\n"
      "         1  10061  WSAECONNREFUSED\n"
      "         1  10107  unknown\n"
      "\n"
      "busiest lines (top 2 by elapsed ms)\n"
      "   elapsed  location\n"
      "----------  ----------------\n"
      "       250  a.trace:2  APP connect(3, 10.1.2.3:80, 16) returned -1 "
      "[10061]\n"
      "       100  a.trace:3  APP connect(3, 10.1.2.3:80, 16) returned 0\n"
      "\n"
      "totals\n"
      "  calls                      5\n"
      "  errors                     2\n"
      "  warnings                   1\n"
      "  bytes sent                60\n"
      "  bytes received             0\n"
      "  no call line carries its duration: no time in calls\n"
      "\n"
      "lines\n"
      "  read                       9\n"
      "  text                       7\n"
      "    calls                    5\n"
      "    trace starts             1\n"
      "    trace stops              0\n"
      "    other records            1\n"
      "  dump                       1\n"
      "  malformed                  1\n");
}

// Time in calls, from the lines that carry a duration: the untimed calls
// of a function count as calls but add no time, a module without any timed
// call has no time table, and the shares are of the module's own time.
TEST(TextReport, TimeInCallsFromTimedLines) {
  Summary s(0);
  s.AddFile("t.trace", true);
  std::ostringstream err;
  Scan(Crlf({
           "APP 100001.000001 0250 ERR: connect(3<TCP>, 10.1.2.3:80, 16) "
           "returned -1 [111] <0.000300>",
           "APP 100002.500000 0100 INF: connect(3, 10.1.2.3:80, 16) returned "
           "0 <1.000000>",
           "APP 100002 0000 INF: connect(3, 10.1.2.3:80, 16) returned 0",
           "APP 100003.000000 0000 INF: recv(3<TCP:[1.2.3.4:5->10.1.2.3:80]>, "
           "0x1, 512, 0) returned 10 <0.000001>",
           "APP 100003.000002 0000 INF: recv(3, 0x1, 512, 0) returned 0 "
           "<0.000002>",
           "APP 100004.000000 0000 INF: send(3, 0x1, 5, 0) returned 5 "
           "<3.000000>",
           "OLD 100005 0000 INF: socket(2, 1, 6) returned 4",
       }),
       s, err, {}, "t.trace");
  const std::string report = Report(s);
  const std::string app =
      "bytes sent 5, received 10\n"
      "time in calls (5 of 6 calls timed)\n"
      "% time     seconds  usecs/call      calls  function\n"
      "------ ----------- ----------- ----------  ----------------\n"
      " 74.99    3.000000     3000000          1  send\n"
      " 25.01    1.000300      500150          2  connect\n"
      "  0.00    0.000003           1          2  recv\n"
      "------ ----------- ----------- ----------  ----------------\n"
      "100.00    4.000303      800060          5  total\n"
      "\nmodule OLD\n";
  EXPECT_NE(report.find(app), std::string::npos) << report;
  EXPECT_NE(report.find("bytes sent 0, received 0\n\nerror codes\n"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("  bytes received            10\n"
                        "  timed calls                5\n"
                        "  seconds in calls    4.000303\n"
                        "\nlines\n"),
            std::string::npos)
      << report;
}

TEST(TextReport, NoCallsAndFilesThatWereNotOpened) {
  Summary s;
  s.AddFile("gone.trace", false);
  s.AddFile("<stdin>", true);
  s.AddFile("also gone", false);
  EXPECT_EQ(Report(s),
            "netquill-stat: 3 files (2 not opened: gone.trace also gone)\n"
            "\n"
            "no socket calls\n"
            "\n"
            "totals\n"
            "  calls                      0\n"
            "  errors                     0\n"
            "  warnings                   0\n"
            "  bytes sent                 0\n"
            "  bytes received             0\n"
            "\n"
            "lines\n"
            "  read                       0\n"
            "  text                       0\n"
            "    calls                    0\n"
            "    trace starts             0\n"
            "    trace stops              0\n"
            "    other records            0\n"
            "  dump                       0\n"
            "  malformed                  0\n");
}

TEST(TextReport, WideNumbersPushColumnsRatherThanBeingCut) {
  Summary s(1);
  std::ostringstream err;
  Scan(Crlf({"A 100000 123456789012 INF: select(0, 0x0, 0x0, 0x0, 0x0) "
             "returned 0"}),
       s, err);
  const std::string text = Report(s);
  EXPECT_NE(text.find("         1          0          0 123456789012 "
                      "123456789012  select\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("123456789012  t.trace:1  A select("), std::string::npos)
      << text;
}

}  // namespace
