#include "line_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "byte_source.h"

using nqtrace::LineReader;
using nqtrace::StringSource;

namespace {

struct Line {
  std::string text;
  bool overlong;
  bool unterminated;
  bool operator==(const Line &o) const {
    return text == o.text && overlong == o.overlong &&
           unterminated == o.unterminated;
  }
};

std::ostream &operator<<(std::ostream &os, const Line &l) {
  return os << '"' << l.text << '"' << (l.overlong ? " overlong" : "")
            << (l.unterminated ? " unterminated" : "");
}

std::vector<Line> ReadAll(const std::string &input,
                          std::size_t max_line = LineReader::kMaxLine,
                          std::size_t chunk = 64 * 1024) {
  StringSource source(input);
  LineReader reader(source, max_line, chunk);
  std::vector<Line> lines;
  std::string_view v;
  while (reader.Next(v))
    lines.push_back({std::string(v), reader.Overlong(), reader.Unterminated()});
  EXPECT_FALSE(reader.Next(v)) << "the reader must stay at the end";
  return lines;
}

// Every chunk size from one byte up must split the input the same way,
// including CR LF pairs torn across two reads.
void ExpectLines(const std::string &input, const std::vector<Line> &want,
                 std::size_t max_line = LineReader::kMaxLine) {
  for (std::size_t chunk = 1; chunk <= input.size() + 1; ++chunk)
    EXPECT_EQ(ReadAll(input, max_line, chunk), want) << "chunk size " << chunk;
}

TEST(LineReader, CrLfAndLfEndingsBothEndALine) {
  ExpectLines(
      "a\r\nbb\nccc\r\n",
      {{"a", false, false}, {"bb", false, false}, {"ccc", false, false}});
}

TEST(LineReader, LastLineWithoutNewline) {
  ExpectLines("a\r\nlast", {{"a", false, false}, {"last", false, true}});
  ExpectLines("a\r\nlast\r", {{"a", false, false}, {"last", false, true}});
  ExpectLines("only", {{"only", false, true}});
}

TEST(LineReader, EmptyInputAndEmptyLines) {
  ExpectLines("", {});
  ExpectLines("\n", {{"", false, false}});
  ExpectLines("\r\n\r\n", {{"", false, false}, {"", false, false}});
  ExpectLines("\r", {{"", false, true}});
}

TEST(LineReader, OnlyTheCrBeforeTheNewlineIsRemoved) {
  ExpectLines("a\rb\r\n", {{"a\rb", false, false}});
  ExpectLines("a\r\r\n", {{"a\r", false, false}});
  ExpectLines(std::string("n\0l\n", 4),
              {{std::string("n\0l", 3), false, false}});
}

TEST(LineReader, LinesPastTheLimitAreCutAndSkippedToTheNewline) {
  // A limit of 8: exactly 8 bytes fit, with or without CR; 9 do not.
  ExpectLines("12345678\n12345678\r\n123456789\nnext\n",
              {{"12345678", false, false},
               {"12345678", false, false},
               {"12345678", true, false},
               {"next", false, false}},
              8);
  ExpectLines("12345678\r\r\nx\n",
              {{"12345678", true, false}, {"x", false, false}}, 8);
  ExpectLines(std::string(100, 'z') + "\r\nafter\r\n" + std::string(50, 'y'),
              {{"zzzzzzzz", true, false},
               {"after", false, false},
               {"yyyyyyyy", true, true}},
              8);
}

TEST(LineReader, DefaultLimitIs64KiB) {
  const std::string fits(64 * 1024, 'a');
  const std::string too_long(64 * 1024 + 1, 'b');
  const std::vector<Line> lines = ReadAll(fits + "\r\n" + too_long + "\r\nend");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, fits);
  EXPECT_FALSE(lines[0].overlong);
  EXPECT_EQ(lines[1].text, too_long.substr(0, 64 * 1024));
  EXPECT_TRUE(lines[1].overlong);
  EXPECT_EQ(lines[2], (Line{"end", false, true}));
}

}  // namespace
