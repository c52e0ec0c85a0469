#include "json_report.h"

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
  nqstat::WriteJsonReport(out, s);
  return out.str();
}

TEST(JsonReport, ExactTextForASmallTrace) {
  Summary s(1);
  s.AddFile("a \"q\".trace", true);
  s.AddFile("missing", false);
  std::ostringstream err;
  Scan(Crlf({"APP 100001 0250 ERR: connect(3, 10.1.2.3:80, 16) returned -1 "
             "[10061]",
             "APP 100002 0000 INF: recv(3, 0x4a2f10, 512, 0) returned 10",
             "    0000  30 31 32 33 34 35 36 37:38 39                    "
             "0123456789",
             "APP 100003 0001 INF: gethostbyname(\"a\\\\b\") returned NULL",
             "APP 100003 0000 INF: stopped process 0x10 trace on 12-07-2026 "
             "10:00:03"}),
       s, err, {}, "a \"q\".trace");
  EXPECT_EQ(
      Report(s),
      "{\n"
      "  \"files\": [\n"
      "    {\"name\": \"a \\\"q\\\".trace\", \"opened\": true},\n"
      "    {\"name\": \"missing\", \"opened\": false}\n"
      "  ],\n"
      "  \"modules\": [\n"
      "    {\"name\": \"APP\", \"bytes_sent\": 0, \"bytes_received\": 10,\n"
      "      \"functions\": [\n"
      "        {\"name\": \"connect\", \"calls\": 1, \"errors\": 1, "
      "\"warnings\": 0, \"total_ms\": 250, \"max_ms\": 250},\n"
      "        {\"name\": \"gethostbyname\", \"calls\": 1, \"errors\": 0, "
      "\"warnings\": 0, \"total_ms\": 1, \"max_ms\": 1},\n"
      "        {\"name\": \"recv\", \"calls\": 1, \"errors\": 0, \"warnings\": "
      "0, \"total_ms\": 0, \"max_ms\": 0}\n"
      "      ]}\n"
      "  ],\n"
      "  \"error_codes\": [\n"
      "    {\"code\": 10061, \"name\": \"WSAECONNREFUSED\", \"count\": 1}\n"
      "  ],\n"
      "  \"busiest\": [\n"
      "    {\"elapsed_ms\": 250, \"file\": \"a \\\"q\\\".trace\", \"line\": 1, "
      "\"module\": \"APP\", "
      "\"function\": \"connect\", \"text\": \"connect(3, 10.1.2.3:80, 16) "
      "returned -1 [10061]\"}\n"
      "  ],\n"
      "  \"totals\": {\"calls\": 3, \"errors\": 1, \"warnings\": 0, "
      "\"bytes_sent\": 0, \"bytes_received\": 10, \"timed_calls\": 0, "
      "\"time_us\": 0},\n"
      "  \"lines\": {\"read\": 5, \"text\": 4, \"calls\": 3, \"trace_starts\": "
      "0, \"trace_stops\": 1, "
      "\"other\": 0, \"dump\": 1, \"malformed\": 0}\n"
      "}\n");
}

TEST(JsonReport, EmptySummaryHasEmptyArrays) {
  Summary s;
  EXPECT_EQ(Report(s),
            "{\n"
            "  \"files\": [],\n"
            "  \"modules\": [],\n"
            "  \"error_codes\": [],\n"
            "  \"busiest\": [],\n"
            "  \"totals\": {\"calls\": 0, \"errors\": 0, \"warnings\": 0, "
            "\"bytes_sent\": 0, \"bytes_received\": 0, \"timed_calls\": 0, "
            "\"time_us\": 0},\n"
            "  \"lines\": {\"read\": 0, \"text\": 0, \"calls\": 0, "
            "\"trace_starts\": 0, \"trace_stops\": 0, "
            "\"other\": 0, \"dump\": 0, \"malformed\": 0}\n"
            "}\n");
}

}  // namespace
