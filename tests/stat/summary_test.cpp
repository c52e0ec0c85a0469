#include "summary.h"

#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <string>

#include "scanner.h"
#include "test_support.h"
#include "text_report.h"

using nqstat::FunctionStats;
using nqstat::ScanSettings;
using nqstat::Summary;
using nqstattest::Crlf;
using nqstattest::Scan;

namespace {

const std::string kTwoModules = Crlf({
    "APP 100000 0000 INF: started process 0x10 trace on 12-07-2026 10:00:00 "
    "[4.0.4000]",
    "APP 100000 0005 INF: socket(2, 1, 6) returned 3",
    "APP 100001 0250 ERR: connect(3, 10.1.2.3:80, 16) returned -1 [10061]",
    "APP 100002 0100 INF: connect(3, 10.1.2.3:80, 16) returned 0",
    "APP 100002 0000 INF: send(3, 0x4a2f10, 100, 0) returned 60",
    "    0000  48 69                                            Hi",
    "APP 100002 0000 ERR: send(3, 0x4a2f10, 100, 0) returned -1 [10054]",
    "APP 100003 0012 WRN: recv(3, 0x4a2f10, 512, 0) returned -1 [10035]",
    "APP 100003 0001 INF: recv(3, 0x4a2f10, 512, 0) returned 10",
    "    0000  30 31 32 33 34 35 36 37:38 39                    0123456789",
    "APP 100003 0000 INF: recv(3, 0x4a2f10, 512, 0) returned 0",
    "APP 100003 0000 INF: hello from the app",
    "APP 100004 0000 INF: stopped process 0x10 trace on 12-07-2026 10:00:04",
    "SVC 100005 0007 INF: sendto(4, 0x1000, 33, 0, 10.0.0.1:53, 16) returned "
    "33",
    "SVC 100005 0020 INF: recvfrom(4, 0x2000, 512, 0, 10.0.0.1:53, 16) "
    "returned 49",
    "SVC 100005 0000 INF: WSAAsyncGetHostByName(0x0, 0x400, \"x\", 0x0, 0) "
    "returned 0x20",
    "SVC 100005 0000 ERR: gethostbyname(\"nohost\") returned NULL [11001]",
    "SVC 100005 0000 WRN: closesocket(4) returned -1 [10035]",
    "SVC 1000",
});

TEST(Summary, PerFunctionCallsErrorsWarningsAndTimes) {
  Summary s;
  std::ostringstream err;
  Scan(kTwoModules, s, err);

  ASSERT_EQ(s.Modules().size(), 2u);
  const auto &app = s.Modules().at("APP").functions;
  ASSERT_EQ(app.size(), 4u);
  const FunctionStats &connect = app.at("connect");
  EXPECT_EQ(connect.calls, 2u);
  EXPECT_EQ(connect.errors, 1u);
  EXPECT_EQ(connect.warnings, 0u);
  EXPECT_EQ(connect.total_ms, 350u);
  EXPECT_EQ(connect.max_ms, 250u);
  const FunctionStats &recv = app.at("recv");
  EXPECT_EQ(recv.calls, 3u);
  EXPECT_EQ(recv.errors, 0u);
  EXPECT_EQ(recv.warnings, 1u);
  EXPECT_EQ(recv.total_ms, 13u);
  EXPECT_EQ(recv.max_ms, 12u);
  EXPECT_EQ(app.at("send").errors, 1u);
  EXPECT_EQ(app.at("socket").calls, 1u);

  const FunctionStats all = s.Totals();
  EXPECT_EQ(all.calls, 13u);
  EXPECT_EQ(all.errors, 3u);
  EXPECT_EQ(all.warnings, 2u);
  EXPECT_EQ(all.total_ms, 395u);
  EXPECT_EQ(all.max_ms, 250u);
}

// Only lines that carry a duration add time; the others count as calls.
TEST(Summary, TimeInCallsOnlyFromLinesWithADuration) {
  const struct {
    const char *line;
    std::uint64_t timed_calls;
    std::uint64_t time_us;
  } rows[] = {
      {"A 100000 0000 INF: recv(3, 0x1, 5, 0) returned 5", 0, 0},
      {"A 100000.000001 0000 INF: recv(3, 0x1, 5, 0) returned 5", 0, 0},
      {"A 100000 0000 INF: recv(3, 0x1, 5, 0) returned 5 <0.000007>", 1, 7},
      {"A 100000.000001 0000 WRN: recv(3<TCP>, 0x1, 5, 0) returned -1 [11] "
       "<2.500000>",
       1, 2500000},
      {"A 100000.000001 0000 INF: waited <2.500000>", 0, 0},
      {"A 100000 0000 INF: recv(3, 0x1, 5, 0) returned 5 <18446744073709."
       "551615>",
       0, 0},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.line);
    Summary s;
    std::ostringstream err;
    Scan(Crlf({r.line, r.line}), s, err);
    const FunctionStats all = s.Totals();
    EXPECT_EQ(all.timed_calls, 2 * r.timed_calls);
    EXPECT_EQ(all.time_us, 2 * r.time_us);
  }
}

TEST(Summary, BytesComeFromNonNegativeSendAndRecvResults) {
  Summary s;
  std::ostringstream err;
  Scan(kTwoModules, s, err);
  // send 60 (the failed send adds nothing), recv 10 + 0; sendto 33,
  // recvfrom 49.
  EXPECT_EQ(s.Modules().at("APP").bytes_sent, 60u);
  EXPECT_EQ(s.Modules().at("APP").bytes_received, 10u);
  EXPECT_EQ(s.Modules().at("SVC").bytes_sent, 33u);
  EXPECT_EQ(s.Modules().at("SVC").bytes_received, 49u);
  EXPECT_EQ(s.BytesSent(), 93u);
  EXPECT_EQ(s.BytesReceived(), 59u);
}

// Lookups that fail with the resolver's own codes are failed calls; a
// peeked receive leaves its bytes to the receive that takes them.
TEST(Summary, LookupCodesAndPeeksCountAsTheCallsDid) {
  const std::string trace = Crlf({
      "PG 100000 0001 ERR: getaddrinfo(\"db\", \"nosuch\") returned -8 [-8]",
      "PG 100000 0001 ERR: getaddrinfo(\"db\", NULL) returned -9 [-9]",
      "PG 100000 0001 WRN: getaddrinfo(\"nx\", NULL) returned -2 [11001]",
      "PG 100000 0001 INF: recv(3, 0x1000, 512, 2) returned 100",
      "PG 100000 0001 INF: recvfrom(3, 0x1000, 512, 258, 10.0.0.1:53, 0x2) "
      "returned 30",
      "PG 100000 0001 INF: recvmsg(3, 0x1000, NULL, 2) returned 7",
      "PG 100000 0001 INF: recv(3, 0x1000, 512, 0) returned 100",
      "PG 100000 0001 INF: recvmsg(3, 0x1000, NULL, 64) returned 5",
      "PG 100000 0001 INF: read(3, 0x1000, 2) returned 2",
      "PG 100000 0001 ERR: getaddrinfo(\"db\", NULL) returned -9",
  });
  Summary s;
  std::ostringstream err;
  Scan(trace, s, err);
  const nqstat::ModuleStats &pg = s.Modules().at("PG");
  EXPECT_EQ(pg.bytes_received, 107u);
  const FunctionStats &lookups = pg.functions.at("getaddrinfo");
  EXPECT_EQ(lookups.calls, 3u);
  EXPECT_EQ(lookups.errors, 2u);
  const std::map<nqstat::ErrorCode, std::uint64_t> codes{
      {-9, 1}, {-8, 1}, {11001, 1}};
  EXPECT_EQ(s.ErrorCodes(), codes);
  EXPECT_STREQ(nqstat::CodeName(-8), "EAI_SERVICE");
  // A lookup line without its code is damaged, not the program's own.
  EXPECT_EQ(s.Counts().other, 0u);
  EXPECT_EQ(err.str(),
            "t.trace:10: malformed line (error line without its "
            "code)\n");
  std::ostringstream text;
  nqstat::WriteTextReport(text, s);
  EXPECT_NE(text.str().find(" 1     -9  EAI_ADDRFAMILY\n"), std::string::npos);
}

TEST(Summary, LineCountsAndErrorCodes) {
  Summary s;
  std::ostringstream err;
  Scan(kTwoModules, s, err);
  const nqstat::LineCounts &c = s.Counts();
  EXPECT_EQ(c.read, 19u);
  EXPECT_EQ(c.text, 16u);
  EXPECT_EQ(c.calls, 13u);
  EXPECT_EQ(c.trace_starts, 1u);
  EXPECT_EQ(c.trace_stops, 1u);
  EXPECT_EQ(c.other, 1u);
  EXPECT_EQ(c.dump, 2u);
  EXPECT_EQ(c.malformed, 1u);
  EXPECT_EQ(err.str(), "t.trace:19: malformed line (bad clock field)\n");

  const std::map<nqstat::ErrorCode, std::uint64_t> codes{
      {10035, 2}, {10054, 1}, {10061, 1}, {11001, 1}};
  EXPECT_EQ(s.ErrorCodes(), codes);
}

TEST(Summary, BusiestLinesLargestFirstEarlierWinsTies) {
  Summary s(3);
  std::ostringstream err;
  Scan(Crlf({"A 100000 0005 INF: socket(2, 1, 6) returned 3",
             "A 100000 0009 INF: bind(3, 0.0.0.0:80, 16) returned 0",
             "A 100000 0002 INF: listen(3, 5) returned 0",
             "B 100000 0009 INF: accept(3, 0x0, 0x0) returned 4",
             "A 100000 0999 INF: a record of the app's own",
             "B 100000 0009 INF: accept(3, 0x0, 0x0) returned 5",
             "B 100000 0007 ERR: recv(4, 0x10, 8, 0) returned -1 [10054]"}),
       s, err, {}, "x.trace");
  const std::vector<nqstat::BusyLine> top = s.Busiest();
  ASSERT_EQ(top.size(), 3u);
  EXPECT_EQ(top[0].line, 2u);
  EXPECT_EQ(top[0].module, "A");
  EXPECT_EQ(top[0].function, "bind");
  EXPECT_EQ(top[0].elapsed_ms, 9u);
  EXPECT_EQ(top[0].file, "x.trace");
  EXPECT_EQ(top[1].line, 4u);
  EXPECT_EQ(top[1].text, "accept(3, 0x0, 0x0) returned 4");
  EXPECT_EQ(top[2].line, 6u);
  EXPECT_EQ(top[2].elapsed_ms, 9u);
}

TEST(Summary, BusiestKeepsFewerWhenFewerCallsAndNoneForZero) {
  const std::string trace =
      Crlf({"A 100000 0005 INF: socket(2, 1, 6) returned 3",
            "A 100000 0001 INF: closesocket(3) returned 0"});
  std::ostringstream err;
  Summary five(5);
  Scan(trace, five, err);
  ASSERT_EQ(five.Busiest().size(), 2u);
  EXPECT_EQ(five.Busiest()[0].function, "socket");
  EXPECT_EQ(five.Busiest()[1].function, "closesocket");
  Summary none(0);
  Scan(trace, none, err);
  EXPECT_TRUE(none.Busiest().empty());
  EXPECT_EQ(none.Totals().calls, 2u);
}

TEST(Summary, BusyTextIsCutToBoundMemory) {
  Summary s;
  std::ostringstream err;
  const std::string name(300, 'h');
  Scan(Crlf({"A 100000 0005 ERR: gethostbyname(\"" + name +
             "\") returned NULL [11001]"}),
       s, err);
  ASSERT_EQ(s.Busiest().size(), 1u);
  EXPECT_EQ(s.Busiest()[0].text.size(), Summary::kMaxBusyText);
  EXPECT_EQ(s.Busiest()[0].text.substr(0, 15), "gethostbyname(\"");
}

TEST(Summary, ElapsedTotalsStopAtTheMaximumInsteadOfWrapping) {
  std::vector<std::string> lines(20,
                                 "A 100000 999999999999999999 INF: select(0, "
                                 "0x0, 0x0, 0x0, 0x0) returned 0");
  Summary s;
  std::ostringstream err;
  Scan(Crlf(lines), s, err);
  const FunctionStats &f = s.Modules().at("A").functions.at("select");
  EXPECT_EQ(f.calls, 20u);
  EXPECT_EQ(f.max_ms, 999999999999999999u);
  EXPECT_EQ(f.total_ms, std::numeric_limits<std::uint64_t>::max());
}

TEST(Summary, DistinctNamesAndCodesBeyondTheTablesAreAddedUp) {
  std::string trace;
  for (int i = 0; i < 5000; ++i) {
    const std::string n = std::to_string(i);
    trace +=
        "M" + n + " 100000 0001 ERR: f" + n + "(1) returned -1 [" + n + "]\r\n";
  }
  Summary s;
  std::ostringstream err;
  Scan(trace, s, err);
  EXPECT_EQ(s.Modules().size(), nqstat::kMaxModules + 1);
  const auto &other = s.Modules().at(std::string(nqstat::kOtherModules));
  std::size_t functions = 0;
  for (const auto &m : s.Modules()) functions += m.second.functions.size();
  EXPECT_EQ(functions, nqstat::kMaxFunctions + 1);
  EXPECT_EQ(other.functions.at(std::string(nqstat::kOtherFunctions)).calls,
            5000 - nqstat::kMaxFunctions);
  EXPECT_EQ(s.ErrorCodes().size(), nqstat::kMaxCodes + 1);
  EXPECT_EQ(s.ErrorCodes().at(nqstat::kOtherCodes), 5000 - nqstat::kMaxCodes);
  EXPECT_EQ(s.Totals().calls, 5000u);
  EXPECT_STREQ(nqstat::CodeName(111), "ECONNREFUSED");
}

TEST(Summary, ReportOrderOfFunctionsAndCodes) {
  nqstat::ModuleStats m;
  m.functions["send"] = {3, 0, 0, 10, 5};
  m.functions["recv"] = {1, 0, 0, 40, 40};
  m.functions["bind"] = {1, 0, 0, 10, 10};
  m.functions["accept"] = {3, 0, 0, 10, 4};
  const auto rows = nqstat::FunctionsInReportOrder(m);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].first, "recv");    // most time
  EXPECT_EQ(rows[1].first, "accept");  // equal time: more calls, then name
  EXPECT_EQ(rows[2].first, "send");
  EXPECT_EQ(rows[3].first, "bind");

  const auto codes =
      nqstat::CodesInReportOrder({{10061, 1}, {10035, 4}, {10054, 1}});
  ASSERT_EQ(codes.size(), 3u);
  EXPECT_EQ(codes[0], (nqstat::CodeRow{10035, 4}));
  EXPECT_EQ(codes[1], (nqstat::CodeRow{10054, 1}));
  EXPECT_EQ(codes[2], (nqstat::CodeRow{10061, 1}));
}

// The module filter and what follows a filtered-out line.

TEST(ModuleFilter, KeepsNamedModulesIgnoringCase) {
  ScanSettings only_svc;
  only_svc.modules = {"svc"};
  Summary s;
  std::ostringstream err;
  Scan(kTwoModules, s, err, only_svc);
  ASSERT_EQ(s.Modules().size(), 1u);
  EXPECT_EQ(s.Modules().count("SVC"), 1u);
  const nqstat::LineCounts &c = s.Counts();
  EXPECT_EQ(c.read, 19u);
  EXPECT_EQ(c.text, 5u);
  EXPECT_EQ(c.calls, 5u);
  EXPECT_EQ(c.trace_starts, 0u);
  EXPECT_EQ(c.dump, 0u);       // both dumps follow APP lines
  EXPECT_EQ(c.malformed, 1u);  // always counted
  EXPECT_EQ(s.ErrorCodes().size(), 2u);
  EXPECT_EQ(s.BytesSent(), 33u);
}

TEST(ModuleFilter, DumpLinesFollowTheirTextLine) {
  const std::string trace = Crlf(
      {"  0000  41                                               A",  // before
                                                                      // any
                                                                      // text
       "A 100000 0000 INF: send(3, 0x1, 1, 0) returned 1",
       "  0000  41                                               A",
       "BB 100000 0000 INF: recv(3, 0x1, 2, 0) returned 2",
       "   0000  42 42                                            BB",
       "   0000  42 42                                            BB"});
  std::ostringstream err;
  ScanSettings only_bb;
  only_bb.modules = {"BB", "ZZ"};
  Summary bb;
  Scan(trace, bb, err, only_bb);
  EXPECT_EQ(bb.Counts().dump, 2u);
  Summary all;
  Scan(trace, all, err);
  EXPECT_EQ(all.Counts().dump, 4u);
  EXPECT_TRUE(err.str().empty());

  EXPECT_TRUE(nqstat::ModuleSelected({}, "ANY"));
  EXPECT_TRUE(nqstat::ModuleSelected(only_bb, "bb"));
  EXPECT_FALSE(nqstat::ModuleSelected(only_bb, "B"));
  EXPECT_FALSE(nqstat::ModuleSelected(only_bb, "BBB"));
}

// Reporting of malformed lines.

TEST(MalformedLog, FirstTwentyShownThenCounted) {
  std::vector<std::string> lines(25, "NOT A TRACE LINE");
  lines[3] = "A 100000 0000 INF: socket(2, 1, 6) returned 3";
  Summary s;
  std::ostringstream err;
  Scan(Crlf(lines), s, err);
  EXPECT_EQ(s.Counts().malformed, 24u);
  std::string want;
  for (int n = 1; n <= 21; ++n)
    if (n != 4)
      want += "t.trace:" + std::to_string(n) +
              ": malformed line (bad clock field)\n";
  want += "netquill-stat: 4 more malformed lines not shown\n";
  EXPECT_EQ(err.str(), want);
}

TEST(MalformedLog, OverlongLineIsReportedOnceAndReadingGoesOn) {
  const std::string huge = "A 100000 0000 INF: " + std::string(70000, 'x');
  Summary s;
  std::ostringstream err;
  Scan(huge + "\r\nA 100000 0000 INF: socket(2, 1, 6) returned 3\r\n", s, err);
  EXPECT_EQ(err.str(), "t.trace:1: malformed line (line too long)\n");
  EXPECT_EQ(s.Counts().malformed, 1u);
  EXPECT_EQ(s.Counts().calls, 1u);
}

}  // namespace
