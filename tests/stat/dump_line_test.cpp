// Dump lines read back into bytes, with every column checked.
#include "dump_line.h"

#include <gtest/gtest.h>

#include <string>

using nqtrace::DecodeDumpLine;
using nqtrace::DumpFault;
using nqtrace::DumpLine;

namespace {

const std::string kFull =
    "      0010  00 01 02 03 04 05 06 07:08 09 0A 0B 0C 0D 0E 0F  "
    "................";
const std::string kShort =
    "  0000  48 65 6C 6C 6F                                   Hello";

TEST(DumpLine, FullAndShortLinesGiveTheirBytes) {
  DumpLine d;
  ASSERT_EQ(DecodeDumpLine(kFull, d), DumpFault::None);
  EXPECT_EQ(d.indent, 6u);
  EXPECT_EQ(d.offset, 0x10u);
  ASSERT_EQ(d.count, 16u);
  for (unsigned i = 0; i < 16; ++i) EXPECT_EQ(d.bytes[i], i);

  ASSERT_EQ(DecodeDumpLine(kShort, d), DumpFault::None);
  EXPECT_EQ(d.indent, 2u);
  EXPECT_EQ(d.offset, 0u);
  ASSERT_EQ(d.count, 5u);
  EXPECT_EQ(std::string(d.bytes, d.bytes + 5), "Hello");

  const std::string eight =
      " FFF0  41 42 43 44 45 46 47 48:                         ABCDEFGH";
  ASSERT_EQ(DecodeDumpLine(eight, d), DumpFault::None);
  EXPECT_EQ(d.offset, 0xFFF0u);
  EXPECT_EQ(d.count, 8u);
  const std::string wide = " 10000  7E" + std::string(1 + 45 + 1, ' ') + "~";
  ASSERT_EQ(DecodeDumpLine(wide, d), DumpFault::None);
  EXPECT_EQ(d.offset, 0x10000u);
  EXPECT_EQ(d.bytes[0], 0x7E);
}

TEST(DumpLine, EachColumnIsChecked) {
  DumpLine d;
  auto with = [](std::string s, std::size_t at, const std::string &text) {
    return s.replace(at, text.size(), text);
  };
  EXPECT_EQ(DecodeDumpLine("      001  00", d), DumpFault::BadOffset);
  EXPECT_EQ(DecodeDumpLine(with(kFull, 6, "001a"), d), DumpFault::BadOffset);
  EXPECT_EQ(DecodeDumpLine(" 00010  41" + std::string(45, ' ') + " A", d),
            DumpFault::BadOffset);
  EXPECT_EQ(DecodeDumpLine(" 123456789  41", d), DumpFault::BadOffset);
  EXPECT_EQ(DecodeDumpLine(kFull.substr(0, kFull.size() - 17), d),
            DumpFault::ShortLine);
  EXPECT_EQ(DecodeDumpLine(with(kFull, 12, "0g"), d), DumpFault::BadCell);
  EXPECT_EQ(d.bad_cell, 0u);
  EXPECT_EQ(DecodeDumpLine(with(kFull, 15, "0a"), d), DumpFault::BadCell);
  EXPECT_EQ(d.bad_cell, 1u);
  // The separator after the eighth cell is ':', after the others ' '.
  EXPECT_EQ(DecodeDumpLine(with(kFull, 12 + 3 * 7 + 2, " "), d),
            DumpFault::BadCell);
  EXPECT_EQ(d.bad_cell, 7u);
  EXPECT_EQ(DecodeDumpLine(with(kFull, 12 + 2, ":"), d), DumpFault::BadCell);
  EXPECT_EQ(DecodeDumpLine(with(kShort, 8 + 3 * 6, "41 "), d),
            DumpFault::CellAfterEnd);
  EXPECT_EQ(DecodeDumpLine(with(kShort, kShort.size() - 1, "O"), d),
            DumpFault::BadCharacters);
  EXPECT_EQ(DecodeDumpLine(kShort + "!", d), DumpFault::BadCharacters);
  EXPECT_EQ(DecodeDumpLine(kShort.substr(0, kShort.size() - 1), d),
            DumpFault::BadCharacters);
  EXPECT_EQ(DecodeDumpLine("  0000  " + std::string(48, ' ') + " ", d),
            DumpFault::BadCharacters);
}

TEST(DumpLine, EveryByteValueRoundTrips) {
  static const char kHex[] = "0123456789ABCDEF";
  for (unsigned b = 0; b < 256; ++b) {
    std::string line = " 0000  ";
    line += kHex[b >> 4];
    line += kHex[b & 15];
    line += std::string(1 + 45, ' ');
    line += ' ';
    line += b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.';
    DumpLine d;
    ASSERT_EQ(DecodeDumpLine(line, d), DumpFault::None) << b;
    EXPECT_EQ(d.bytes[0], b);
  }
}

}  // namespace
