// The arguments of call lines, as the tools read socket addresses and
// counts out of them.
#include "call_args.h"

#include <gtest/gtest.h>

#include <string>

#include "line_parser.h"

using nqtrace::Address;
using nqtrace::AddressForm;
using nqtrace::CallArgs;
using nqtrace::ParseAddress;
using nqtrace::ParsedLine;
using nqtrace::ParseInteger;
using nqtrace::ParseLine;
using nqtrace::SplitArgs;

namespace {

// The views point into line: callers pass literals or strings that outlive
// the result.
CallArgs ArgsOf(std::string_view line) {
  const ParsedLine p = ParseLine(line);
  EXPECT_EQ(p.kind, nqtrace::LineKind::Call) << line;
  CallArgs args;
  EXPECT_TRUE(SplitArgs(p.args, args)) << line;
  return args;
}

TEST(CallArgs, SplitAtCommaSpaceOutsideQuotes) {
  CallArgs a = ArgsOf(
      "APP 120000 0000 INF: sendto(5, 0x7ffd1000, 12, 0, 10.0.0.7:53, 16) "
      "returned 12");
  ASSERT_EQ(a.count, 6u);
  EXPECT_EQ(a.items[0], "5");
  EXPECT_EQ(a.items[4], "10.0.0.7:53");
  EXPECT_EQ(a.items[5], "16");

  a = ArgsOf("APP 120000 0000 INF: closesocket(5) returned 0");
  ASSERT_EQ(a.count, 1u);
  EXPECT_EQ(a.items[0], "5");

  a = ArgsOf("APP 120000 0000 INF: WSAIsBlocking() returned FALSE");
  EXPECT_EQ(a.count, 0u);

  // A quoted name holding ", " and ") returned " stays one argument.
  a = ArgsOf(
      "APP 120000 0000 INF: getservbyname(\"a, b) returned 1\", \"tcp\") "
      "returned 80 (http)");
  ASSERT_EQ(a.count, 2u);
  EXPECT_EQ(a.items[0], "\"a, b) returned 1\"");
  EXPECT_EQ(a.items[1], "\"tcp\"");

  CallArgs many;
  EXPECT_TRUE(SplitArgs("1, 2, 3, 4, 5, 6, 7, 8, 9, 10", many));
  EXPECT_EQ(many.count, 10u);
  EXPECT_FALSE(SplitArgs("1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11", many));
}

TEST(CallArgs, AddressesInEveryFormTheTracerPrints) {
  Address a = ParseAddress("127.0.0.1:38847");
  EXPECT_EQ(a.form, AddressForm::Ipv4);
  EXPECT_EQ(a.ip, 0x7F000001u);
  EXPECT_EQ(a.port, 38847);
  a = ParseAddress("255.255.255.255:65535");
  EXPECT_EQ(a.form, AddressForm::Ipv4);
  EXPECT_EQ(a.ip, 0xFFFFFFFFu);
  EXPECT_EQ(a.port, 65535);
  EXPECT_EQ(ParseAddress("0.0.0.0:0").form, AddressForm::Ipv4);
  EXPECT_EQ(ParseAddress("NULL").form, AddressForm::Null);

  for (const char *bad :
       {"256.0.0.1:80", "1.2.3:80", "1.2.3.4", "1.2.3.4:", "1.2.3.4:65536",
        "1.2.3.4:80x", "1..3.4:80", "0x7ffd1000", "", "null", "<bytes>",
        "< 2 bytes>", "<2 bytes", "<--2 bytes>", "<2 bytes> "})
    EXPECT_EQ(ParseAddress(bad).form, AddressForm::Bad) << bad;
}

TEST(CallArgs, AddressesOfEveryFamilyThePosixBuildsPrint) {
  const struct {
    const char *text;
    AddressForm form;
    const char *bytes;     // Ipv6: the 16 bytes as hex; Unix: the path
    std::uint32_t number;  // the port, scope or family
  } cases[] = {
      {"[2001:db8::1]:443", AddressForm::Ipv6,
       "20010db8000000000000000000000001", 443},
      {"[::]:0", AddressForm::Ipv6, "00000000000000000000000000000000", 0},
      {"[fe80::1:2%3]:8", AddressForm::Ipv6, "fe800000000000000000000000010002",
       3},
      {"[::ffff:10.0.0.1]:80", AddressForm::Ipv6,
       "00000000000000000000ffff0a000001", 80},
      {"[1:2:3:4:5:6:7:8]:1", AddressForm::Ipv6,
       "00010002000300040005000600070008", 1},
      {"\"/tmp/a b\\x0A\"", AddressForm::Unix, "/tmp/a b\\x0A", 0},
      {"\"@name\"", AddressForm::Unix, "@name", 0},
      {"<family 17>", AddressForm::Family, "", 17},
  };
  for (const auto &c : cases) {
    const Address a = ParseAddress(c.text);
    ASSERT_EQ(a.form, c.form) << c.text;
    std::string got;
    for (std::uint8_t b : a.ip6)
      got += "0123456789abcdef"[b >> 4], got += "0123456789abcdef"[b & 15];
    if (c.form != AddressForm::Ipv6) got = std::string(a.path);
    EXPECT_EQ(got, c.bytes) << c.text;
    EXPECT_EQ(c.form == AddressForm::Family ? a.family
              : c.text[1] == 'f'            ? a.scope
                                            : a.port,
              c.number)
        << c.text;
  }
  for (const char *bad :
       {"[2001:db8::1]", "[2001:db8::1]:65536", "[1::2::3]:1", "[12345::]:1",
        "[1:2:3:4:5:6:7:8:9]:1", "[1:]:1", "[::1%]:1", "[::1%x]:1",
        "2001:db8::1:80", "<family >", "<family 1 2>", "\""})
    EXPECT_EQ(ParseAddress(bad).form, AddressForm::Bad) << bad;
  // A list of handles is one argument.
  CallArgs pair;
  ASSERT_TRUE(SplitArgs("1, 1, 0, [3, 4]", pair));
  ASSERT_EQ(pair.count, 4u);
  EXPECT_EQ(pair.items[3], "[3, 4]");
}

// A socket address whose given length is too short to hold one is printed
// as its length instead: no address, but a well-formed call line.
TEST(CallArgs, ShortAddressTextIsNoAddress) {
  const std::string line =
      "APP 120000 0000 ERR: connect(3, <2 bytes>, 2) returned -1 [10014]";
  const ParsedLine p = ParseLine(line);
  EXPECT_EQ(p.kind, nqtrace::LineKind::Call);
  EXPECT_EQ(p.function, "connect");
  EXPECT_EQ(p.code, 10014u);
  const CallArgs args = ArgsOf(line);
  ASSERT_EQ(args.count, 3u);
  const Address a = ParseAddress(args.items[1]);
  EXPECT_EQ(a.form, AddressForm::Short);
  EXPECT_EQ(a.length, 2);
  EXPECT_EQ(ParseAddress("<0 bytes>").form, AddressForm::Short);
  EXPECT_EQ(ParseAddress("<15 bytes>").length, 15);

  const CallArgs from = ArgsOf(
      "APP 120000 0001 INF: recvfrom(4, 0x1000, 512, 0, <4 bytes>, 0x2000) "
      "returned 7");
  ASSERT_EQ(from.count, 6u);
  EXPECT_EQ(ParseAddress(from.items[4]).form, AddressForm::Short);
  EXPECT_EQ(
      ParseLine("APP 120000 0000 INF: bind(3, <8 bytes>, 8) returned 0").kind,
      nqtrace::LineKind::Call);
}

// The length is the caller's, printed signed: a negative one is short too.
TEST(CallArgs, ShortAddressLengthsAreSigned) {
  EXPECT_EQ(ParseAddress("<-1 bytes>").form, AddressForm::Short);
  EXPECT_EQ(ParseAddress("<-1 bytes>").length, -1);
  EXPECT_EQ(ParseAddress("<-2147483648 bytes>").length, INT32_MIN);
  for (const char *bad : {"<bytes>", "< bytes>", "<- bytes>", "<1x bytes>",
                          "<2147483648 bytes>", "<2 bytes", "2 bytes>"})
    EXPECT_EQ(ParseAddress(bad).form, AddressForm::Bad) << bad;
  EXPECT_EQ(
      ParseLine("APP 120000 0000 ERR: sendto(3, 0x1000, 5, 0, <-1 bytes>, -1) "
                "returned -1 [10014]")
          .kind,
      nqtrace::LineKind::Call);
}

// A host entry whose address was too short shows its length in its place.
TEST(CallArgs, HostEntryWithAShortAddressIsAResult) {
  const ParsedLine p = ParseLine(
      "APP 120000 0000 INF: gethostbyaddr(<2 bytes>, 2, 2) returned "
      "<2 bytes> (short)");
  EXPECT_EQ(p.kind, nqtrace::LineKind::Call);
  EXPECT_EQ(p.result, "<2 bytes> (short)");
  EXPECT_EQ(ParseLine("APP 120000 0000 INF: gethostbyname(\"x\") returned "
                      "<0 bytes> ()")
                .kind,
            nqtrace::LineKind::Call);
  EXPECT_EQ(ParseLine("APP 120000 0000 INF: gethostbyname(\"x\") returned "
                      "<2 byte> (short)")
                .kind,
            nqtrace::LineKind::Malformed);
}

TEST(CallArgs, IntegersInSignedDecimal) {
  std::int64_t v = 0;
  EXPECT_TRUE(ParseInteger("0", v));
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(ParseInteger("-1", v));
  EXPECT_EQ(v, -1);
  EXPECT_TRUE(ParseInteger("65536", v));
  EXPECT_EQ(v, 65536);
  EXPECT_TRUE(ParseInteger("999999999999999999", v));
  for (const char *bad :
       {"", "-", "1x", "0x10", "+1", "1 ", "1000000000000000000"})
    EXPECT_FALSE(ParseInteger(bad, v)) << bad;
}

}  // namespace

namespace {

// A label after a socket number is no part of the number and holds no
// argument boundary, whatever its address or path holds.
TEST(CallArgs, SocketLabelsStandApart) {
  const struct {
    const char *args;
    std::size_t count;
    std::size_t at;     // the argument checked
    const char *item;   // that argument
    const char *label;  // its label
  } rows[] = {
      {"7<TCP:[127.0.0.1:40512->127.0.0.1:8080]>, 127.0.0.1:8080, 16", 3, 0,
       "7", "TCP:[127.0.0.1:40512->127.0.0.1:8080]"},
      {"5<TCPv6:[[::1]:40000->[::1]:443]>, 0x4000, 5, 0", 4, 0, "5",
       "TCPv6:[[::1]:40000->[::1]:443]"},
      {"6<UDP:[0.0.0.0:5353]>, 0x1, 5, 0, 10.0.0.7:53, 16", 6, 4, "10.0.0.7:53",
       ""},
      {"8<UNIX:[/run/a, \"b]>, 0x1, 5, 0", 4, 0, "8", "UNIX:[/run/a, \"b]"},
      {"8<UNIX:[/run/a, \"b]>, 0x1, 5, 0", 4, 1, "0x1", ""},
      {"9<TCP>", 1, 0, "9", "TCP"},
      {"-1<TCP>, 2", 2, 0, "-1", "TCP"},
      {"316<TCP>, 320<TCP>, 0x6ff000", 3, 1, "320", "TCP"},
      {"3, <2 bytes>, 2", 3, 1, "<2 bytes>", ""},
      {"3, <family 17>, 2", 3, 1, "<family 17>", ""},
      {"0x1<TCP>, 2", 2, 0, "0x1<TCP>", ""},
      {"1, 1, 0, [3<UNIX:[]>, 4<UNIX:[]>]", 4, 3, "[3<UNIX:[]>, 4<UNIX:[]>]",
       ""},
      {"3<UNIX:[]>, 4<UNIX:[]>", 2, 1, "4", "UNIX:[]"},
      // A label cut short is text as written, its bracket still open.
      {"7<TCP:[1.2.3.4:5, 6", 1, 0, "7<TCP:[1.2.3.4:5, 6", ""},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.args);
    CallArgs a;
    ASSERT_TRUE(SplitArgs(r.args, a));
    ASSERT_EQ(a.count, r.count);
    EXPECT_EQ(a.items[r.at], r.item);
    EXPECT_EQ(a.labels[r.at], r.label);
  }
}

TEST(CallArgs, SplitSocketLabel) {
  const struct {
    const char *text;
    bool ok;
    const char *number;
    const char *label;
  } rows[] = {
      {"7<TCP:[127.0.0.1:1->127.0.0.1:2]>", true, "7",
       "TCP:[127.0.0.1:1->127.0.0.1:2]"},
      {"4<TCP>", true, "4", "TCP"},
      {"4", true, "4", ""},
      {"NULL", true, "NULL", ""},
      {"<2 bytes>", true, "<2 bytes>", ""},
      {"4<TCP:[a]>b", false, "", ""},
      {"4<TCP:[a>", false, "", ""},
      {"4<>", false, "", ""},
      {"x4<TCP>", true, "x4<TCP>", ""},
      {"1.2.3.4 (a1<b>)", true, "1.2.3.4 (a1<b>)", ""},
      {"4 <TCP>", true, "4 <TCP>", ""},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.text);
    std::string_view number, label;
    ASSERT_EQ(nqtrace::SplitSocketLabel(r.text, number, label), r.ok);
    if (!r.ok) continue;
    EXPECT_EQ(number, r.number);
    EXPECT_EQ(label, r.label);
  }
}

}  // namespace
