// The one JSON string writer both tools use: every kind of byte a trace
// may hold, to the byte.
#include "json_string.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
  const char *why;
  std::string in;
  std::string out;  // with its quotes
};

TEST(JsonString, EveryKindOfByte) {
  using std::string;
  const Case cases[] = {
      {"empty", "", "\"\""},
      {"plain", "plain text", "\"plain text\""},
      {"quotes, backslash", "say \"hi\" \\ bye", "\"say \\\"hi\\\" \\\\ bye\""},
      {"controls, DEL, NUL", string("a\tb\x01\x1f\x7f\0z", 8),
       "\"a\\u0009b\\u0001\\u001f\\u007f\\u0000z\""},
      {"DEL alone", "\x7f", "\"\\u007f\""},
      {"NUL at the end", string("x\0", 2), "\"x\\u0000\""},
      {"printable edges", " /~", "\" /~\""},
      {"2 bytes", "caf\xc3\xa9", "\"caf\xc3\xa9\""},
      {"C1 control as UTF-8", "\xc2\x80", "\"\xc2\x80\""},
      {"3 bytes", "\xe2\x82\xac", "\"\xe2\x82\xac\""},
      {"U+2028, U+2029", "\xe2\x80\xa8\xe2\x80\xa9",
       "\"\xe2\x80\xa8\xe2\x80\xa9\""},
      {"4 bytes", "\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},
      {"U+10FFFF", "\xf4\x8f\xbf\xbf", "\"\xf4\x8f\xbf\xbf\""},
      {"Latin-1", "caf\xe9", "\"caf\\u00e9\""},
      {"cut short", "\xc3", "\"\\u00c3\""},
      {"4 bytes cut short", "\xf0\x9f\x98", "\"\\u00f0\\u009f\\u0098\""},
      {"overlong 2", "\xc0\xaf", "\"\\u00c0\\u00af\""},
      {"overlong 3", "\xe0\x80\xaf", "\"\\u00e0\\u0080\\u00af\""},
      {"high surrogate", "\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},
      {"low surrogate", "\xed\xbf\xbf", "\"\\u00ed\\u00bf\\u00bf\""},
      {"last before surrogates", "\xed\x9f\xbf", "\"\xed\x9f\xbf\""},
      {"above U+10FFFF", "\xf4\x90\x80\x80",
       "\"\\u00f4\\u0090\\u0080\\u0080\""},
      {"no such lead byte", "\xf5\x80", "\"\\u00f5\\u0080\""},
      {"bad continuation", "\xe2\x82x", "\"\\u00e2\\u0082x\""},
      {"stray continuation", "\x80z", "\"\\u0080z\""},
      {"never in UTF-8", "\xff\xfe", "\"\\u00ff\\u00fe\""},
  };
  for (const Case &c : cases) {
    std::string out = "[";
    nqtrace::AppendJsonString(out, c.in);
    EXPECT_EQ(out, "[" + c.out) << c.why;
  }
}

}  // namespace
