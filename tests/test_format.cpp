// The library's own printf: the conversions its formats use, and the bounds.
#include <gtest/gtest.h>

#include <string>

#include "output/format.h"

using nq::Format;

namespace {

std::string F(const char *fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  nq::FormatV(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

TEST(Format, ConversionsMatchPrintf) {
  EXPECT_EQ(F("%d|%d|%i", 0, -2147483647 - 1, 42), "0|-2147483648|42");
  EXPECT_EQ(F("%u|%x|%X", 4294967295u, 0xbeefu, 0xbeefu),
            "4294967295|beef|BEEF");
  EXPECT_EQ(F("%lX|%lx", 0x1A4ul, 0x2Cul), "1A4|2c");
  EXPECT_EQ(F("%02d%02d%02d %04ld ", 14, 5, 9, 250L), "140509 0250 ");
  EXPECT_EQ(F("%08X", 0x1A4u), "000001A4");
  EXPECT_EQ(F("%zd|%zx", static_cast<ptrdiff_t>(-1), static_cast<size_t>(0)),
            "-1|0");
  EXPECT_EQ(F("%lld", -9000000000LL), "-9000000000");
  EXPECT_EQ(F("%05d|%-4d|%4s|%-3s|", -42, 7, "ab", "x"),
            "-0042|7   |  ab|x  |");
  EXPECT_EQ(F("%c%%%c", 'a', 'b'), "a%b");
  EXPECT_EQ(F("%hd|%hu", 65535, 65535), "-1|65535");
}

TEST(Format, NullStringsAndPrecision) {
  EXPECT_EQ(F("\"%s\"", static_cast<const char *>(nullptr)), "\"(null)\"");
  EXPECT_EQ(F("[%.*s]", 3, "abcdef"), "[abc]");
  EXPECT_EQ(F("[%.*s]", 10, "ab"), "[ab]");
  EXPECT_EQ(F("[%.*s]", 0, "ab"), "[]");
  // Unterminated text is never read past the precision.
  const char raw[3] = {'x', 'y', 'z'};
  EXPECT_EQ(F("[%.*s]", 3, raw), "[xyz]");
}

TEST(Format, UnknownConversionsAreKeptAndConsumeNothing) {
  EXPECT_EQ(F("%q %d", 5), "%q 5");
  EXPECT_EQ(F("100%"), "100%");
}

TEST(Format, CutsAtTheBufferAndAlwaysTerminates) {
  char buf[8];
  memset(buf, 'Z', sizeof buf);
  EXPECT_EQ(Format(buf, sizeof buf, "%s", "0123456789"), 7u);
  EXPECT_STREQ(buf, "0123456");
  EXPECT_EQ(Format(buf, sizeof buf, "ab%dcd", 123456), 7u);
  EXPECT_STREQ(buf, "ab12345");
  EXPECT_EQ(Format(buf, 1, "%s", "x"), 0u);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(Format(nullptr, 0, "%s", "x"), 0u);
}

}  // namespace
