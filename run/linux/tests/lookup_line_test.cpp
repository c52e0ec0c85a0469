// The trace reader on the name lookup lines of netquill-run.
#include "lookup_line.h"

#include <gtest/gtest.h>

namespace {

TEST(LookupLine, ReadsWhatWasAskedAndWhatCameBack) {
  struct {
    const char *text;
    bool addrinfo;
    std::string asked[2];
    long long result;
    std::vector<std::string> answers;
  } cases[] = {
      {"getaddrinfo(\"localhost\", \"80\") returned 0 (127.0.0.1:80, [::1]:80)",
       true,
       {"localhost", "80"},
       0,
       {"127.0.0.1:80", "[::1]:80"}},
      {"getaddrinfo(\"x\\x0Ay\", NULL) returned -2",
       true,
       {"x\ny", ""},
       -2,
       {}},
      // A name that holds a quote and a backslash reads back whole, and
      // forges no answer.
      {"getaddrinfo(\"evil\\x22, \\x22443\\x22) returned 0 (6.6.6.6:443) "
       "(\\x5C\", \"443\") returned -2",
       true,
       {"evil\", \"443\") returned 0 (6.6.6.6:443) (\\", "443"},
       -2,
       {}},
      {"getnameinfo([fe80::1%2]:443, 28, 8) returned 0 (\"h\\x7F\", NULL)",
       false,
       {"[fe80::1%2]:443", "28"},
       0,
       {"h\x7f", "NULL"}},
  };
  for (const auto &c : cases) {
    nqtrace::Lookup got;
    ASSERT_TRUE(nqtrace::ParseLookup(c.text, got)) << c.text;
    EXPECT_EQ(got.addrinfo, c.addrinfo) << c.text;
    EXPECT_EQ(got.asked[0] + "|" + got.asked[1], c.asked[0] + "|" + c.asked[1]);
    EXPECT_EQ(got.result, c.result) << c.text;
    EXPECT_EQ(got.answers, c.answers) << c.text;
  }
  nqtrace::Lookup got;
  for (const char *bad : {"connect(3, 1.2.3.4:80, 16) returned 0",
                          "getaddrinfo(\"a\") returned 0",
                          "getnameinfo(1.2.3.4:1, 16, 0) returned 0 (\"a\")"})
    EXPECT_FALSE(nqtrace::ParseLookup(bad, got)) << bad;
}

}  // namespace
