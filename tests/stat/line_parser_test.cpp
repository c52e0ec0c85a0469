#include "line_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>

#include "tls_line.h"
#include "winsock_names.h"

using nqtrace::Fault;
using nqtrace::LineKind;
using nqtrace::ParsedLine;
using nqtrace::ParseLine;
using nqtrace::Tag;

namespace {

// Layout fields of a text line: module, clock, elapsed and tag.

TEST(ParseTextLine, InfoCallHasEveryField) {
  const ParsedLine p =
      ParseLine("MYAPP 140509 0000 INF: send(3, 0x4a2f10, 100, 0) returned 60");
  EXPECT_EQ(p.kind, LineKind::Call);
  EXPECT_EQ(p.fault, Fault::None);
  EXPECT_EQ(p.module, "MYAPP");
  EXPECT_EQ(p.clock, 140509u);
  EXPECT_EQ(p.elapsed_ms, 0u);
  EXPECT_EQ(p.tag, Tag::Info);
  EXPECT_EQ(p.text, "send(3, 0x4a2f10, 100, 0) returned 60");
  EXPECT_EQ(p.function, "send");
  EXPECT_EQ(p.result, "60");
  EXPECT_FALSE(p.has_code);
}

TEST(ParseTextLine, ErrorAndWarningCarryTheirCode) {
  const ParsedLine e = ParseLine(
      "MYAPP 140509 0250 ERR: connect(3, 10.1.2.3:80, 16) returned -1 [10061]");
  EXPECT_EQ(e.kind, LineKind::Call);
  EXPECT_EQ(e.tag, Tag::Error);
  EXPECT_EQ(e.elapsed_ms, 250u);
  EXPECT_EQ(e.function, "connect");
  EXPECT_EQ(e.result, "-1");
  EXPECT_TRUE(e.has_code);
  EXPECT_EQ(e.code, 10061u);
  EXPECT_EQ(e.text, "connect(3, 10.1.2.3:80, 16) returned -1 [10061]");

  const ParsedLine w = ParseLine(
      "MYAPP 140510 0012 WRN: recv(3, 0x4a2f10, 512, 0) returned -1 [10035]");
  EXPECT_EQ(w.kind, LineKind::Call);
  EXPECT_EQ(w.tag, Tag::Warning);
  EXPECT_EQ(w.elapsed_ms, 12u);
  EXPECT_EQ(w.function, "recv");
  EXPECT_EQ(w.code, 10035u);
}

TEST(ParseTextLine, EmptyModuleNameStartsWithTheSpace) {
  const ParsedLine p =
      ParseLine(" 140509 0003 INF: WSAIsBlocking() returned FALSE");
  EXPECT_EQ(p.kind, LineKind::Call);
  EXPECT_EQ(p.module, "");
  EXPECT_EQ(p.elapsed_ms, 3u);
  EXPECT_EQ(p.function, "WSAIsBlocking");
  EXPECT_EQ(p.result, "FALSE");
}

TEST(ParseTextLine, ModuleNameUpTo63CharactersAnyNonSpace) {
  const ParsedLine dotted =
      ParseLine("BROWSER.EXE 101230 0001 INF: socket(2, 1, 6) returned 5");
  EXPECT_EQ(dotted.kind, LineKind::Call);
  EXPECT_EQ(dotted.module, "BROWSER.EXE");

  const std::string m63(63, 'M');
  const std::string line = m63 + " 101230 0001 INF: socket(2, 1, 6) returned 5";
  const ParsedLine longest = ParseLine(line);
  EXPECT_EQ(longest.kind, LineKind::Call);
  EXPECT_EQ(longest.module, m63);

  const ParsedLine too_long = ParseLine(m63 + "M" + line.substr(63));
  EXPECT_EQ(too_long.kind, LineKind::Malformed);
  EXPECT_EQ(too_long.fault, Fault::BadModule);
}

TEST(ParseTextLine, ModuleNamesWithSpacesAndRecordsRunTogether) {
  const struct {
    const char *line;
    Fault fault;
    const char *module;
  } cases[] = {
      {"MY PROG 140509 0000 INF: socket(2, 1, 6) returned 5", Fault::None,
       "MY PROG"},
      {"MY APP.EXE 140509 0000 ERR: connect(3, 1.2.3.4:80, 16) returned -1 "
       "[10061]",
       Fault::None, "MY APP.EXE"},
      {"A 1 140509 0000 INF: gethostbyname(\"x 120000 0000 ERR: y\") returned "
       "NULL",
       Fault::None, "A 1"},
      // A dump written in part, the next record on the same line.
      {"      0990  78 78 78 78 78 78 78 78:78 78 78 78 78 78 78 7FILL2 090913 "
       "0000 ERR: connect(3, 6.6.6.6:443, 16) returned -1 [10061]",
       Fault::Glued, ""},
      {"APP 100000 0000 INF: send(3, 0x1000, 5, 0) retAPP 100001 0000 ERR: "
       "connect(3, 1.2.3.4:80, 16) returned -1 [10061]",
       Fault::Glued, ""},
  };
  for (const auto &c : cases) {
    const ParsedLine p = ParseLine(c.line);
    EXPECT_EQ(p.fault, c.fault) << c.line;
    EXPECT_EQ(p.module, c.module) << c.line;
  }
}

// Only a record's shape outside the quotes makes a line two records.
TEST(ParseTextLine, ManyRecordShapesInsideQuotesAreOneRecord) {
  std::string shapes;
  for (int i = 0; i < 3000; ++i) shapes += " 000000 0000 INF: ";
  const std::string call = "A 120000 0000 INF: gethostbyname(\"" + shapes;
  EXPECT_EQ(ParseLine(call + "\") returned NULL").kind, LineKind::Call);
  EXPECT_EQ(ParseLine(call + "\")B 120000 0000 INF: x) returned NULL").fault,
            Fault::Glued);
}

TEST(ParseTextLine, ElapsedNeedsFourDigitsAndMayHaveMore) {
  EXPECT_EQ(
      ParseLine(
          "M 101252 21004 ERR: connect(6, 1.2.3.4:80, 16) returned -1 [10060]")
          .elapsed_ms,
      21004u);
  EXPECT_EQ(ParseLine("M 101252 000000000000000042 INF: x").elapsed_ms, 42u);
  EXPECT_EQ(ParseLine("M 101252 999999999999999999 INF: x").elapsed_ms,
            999999999999999999u);

  for (const char *bad : {"M 101252 250 INF: x",  // three digits
                          "M 101252 9999999999999999999 INF: x",  // 19 digits
                          "M 101252 02a0 INF: x",
                          "M 101252 0250",  // cut after the field
                          "M 101252 0250INF: x", "M 101252  0250 INF: x"}) {
    const ParsedLine p = ParseLine(bad);
    EXPECT_EQ(p.kind, LineKind::Malformed) << bad;
    EXPECT_EQ(p.fault, Fault::BadElapsed) << bad;
  }
}

TEST(ParseTextLine, ClockMustBeSixDigitsOfATimeOfDay) {
  EXPECT_EQ(ParseLine("M 000000 0000 INF: x").clock, 0u);
  EXPECT_EQ(ParseLine("M 235959 0000 INF: x").kind, LineKind::Other);
  for (const char *bad :
       {"M 240000 0000 INF: x", "M 146009 0000 INF: x", "M 140560 0000 INF: x",
        "M 1405x9 0000 INF: x", "M 14050 0000 INF: x", "M 1405091 0000 INF: x",
        "M 140509", "MYAPP", "M 1405"}) {
    const ParsedLine p = ParseLine(bad);
    EXPECT_EQ(p.kind, LineKind::Malformed) << bad;
    EXPECT_EQ(p.fault, Fault::BadClock) << bad;
  }
}

TEST(ParseTextLine, OnlyTheThreeTagsAreAccepted) {
  for (const char *bad :
       {"M 140509 0000 DBG: x", "M 140509 0000 inf: x", "M 140509 0000 INF:x",
        "M 140509 0000 INF:", "M 140509 0000 IN", "M 140509 0000 ERR- x"}) {
    const ParsedLine p = ParseLine(bad);
    EXPECT_EQ(p.kind, LineKind::Malformed) << bad;
    EXPECT_EQ(p.fault, Fault::BadTag) << bad;
  }
  EXPECT_EQ(ParseLine("M 140509 0000 INF: ").fault, Fault::EmptyText);
}

// What the text after the tag is: banner, call or custom record.

TEST(ParseTextLine, BannersAreNotCalls) {
  const ParsedLine start = ParseLine(
      "MYAPP 140509 0000 INF: started process 0x1A4 trace on 12-07-2026 "
      "14:05:09 [4.0.4000]");
  EXPECT_EQ(start.kind, LineKind::TraceStart);
  const ParsedLine stop = ParseLine(
      "MYAPP 140510 0001 INF: stopped process 0x1A4 trace on 12-07-2026 "
      "14:05:10");
  EXPECT_EQ(stop.kind, LineKind::TraceStop);
}

TEST(ParseTextLine, CustomRecordsAreOther) {
  for (const char *text :
       {"hello from the app", "I (think) it returned home", "init(db) done",
        "x", "checkpoint()", "tab\tseparated", "caf\xc3\xa9 \xe9t\xe9"}) {
    const std::string line = std::string("MYAPP 140509 0000 INF: ") + text;
    const ParsedLine p = ParseLine(line);
    EXPECT_EQ(p.kind, LineKind::Other) << text;
    EXPECT_EQ(p.text, text);
  }
  // An ERR record of the program's own need not carry a code.
  EXPECT_EQ(ParseLine("MYAPP 140509 0000 ERR: could not load the config").kind,
            LineKind::Other);
}

TEST(ParseCallResult, EveryResultForm) {
  struct Case {
    const char *text;
    const char *function;
    const char *result;
  } cases[] = {
      {"socket(2, 1, 6) returned INVALID_SOCKET", "socket", "INVALID_SOCKET"},
      {"gethostbyname(\"nohost\") returned NULL", "gethostbyname", "NULL"},
      {"WSAIsBlocking() returned TRUE", "WSAIsBlocking", "TRUE"},
      {"WSAAsyncGetHostByName(0x0, 0x400, \"x\", 0x0, 0) returned 0x2A01",
       "WSAAsyncGetHostByName", "0x2A01"},
      {"WSASetBlockingHook(0x401000) returned 0x00401a2f", "WSASetBlockingHook",
       "0x00401a2f"},
      {"gethostbyname(\"localhost\") returned 127.0.0.1 (localhost)",
       "gethostbyname", "127.0.0.1 (localhost)"},
      {"getservbyname(\"http\", \"tcp\") returned 80 (http)", "getservbyname",
       "80 (http)"},
      {"gethostbyaddr(0x12fa00, 4, 2) returned 255.255.255.255 ()",
       "gethostbyaddr", "255.255.255.255 ()"},
      {"gethostbyaddr(10.9.8.7, 16, 23) returned (no address) (empty)",
       "gethostbyaddr", "(no address) (empty)"},
      {"recv(5, 0x7ffd1234, 512, 0) returned 0", "recv", "0"},
      {"select(0, 0x0, 0x0, 0x0, 0x0) returned -1", "select", "-1"},
      {"__WSAFDIsSet(3, 0x12fa00) returned 1", "__WSAFDIsSet", "1"},
  };
  for (const Case &c : cases) {
    const std::string line = std::string("MYAPP 140509 0000 INF: ") + c.text;
    const ParsedLine p = ParseLine(line);
    EXPECT_EQ(p.kind, LineKind::Call) << c.text;
    EXPECT_EQ(p.function, c.function) << c.text;
    EXPECT_EQ(p.result, c.result) << c.text;
  }
}

TEST(ParseCallResult, ResultFollowsTheLastReturnedMarker) {
  const ParsedLine a = ParseLine(
      "MYAPP 140509 0000 ERR: gethostbyname(\"a) returned 5\") returned NULL "
      "[11001]");
  EXPECT_EQ(a.kind, LineKind::Call);
  EXPECT_EQ(a.function, "gethostbyname");
  EXPECT_EQ(a.result, "NULL");
  EXPECT_EQ(a.code, 11001u);

  const ParsedLine b = ParseLine(
      "MYAPP 140509 0000 INF: gethostbyname(\"x) returned 1.2.3.4 (y\") "
      "returned 10.0.0.1 (h (1))");
  EXPECT_EQ(b.kind, LineKind::Call);
  EXPECT_EQ(b.result, "10.0.0.1 (h (1))");
}

TEST(ParseCallResult, TracedCallWithoutAReadableResultIsMalformed) {
  for (const char *text : {
           "send(3, 0x4a2f10, 100, 0) retu",       // cut inside the marker
           "send(3, 0x4a2f10, 100, 0) returned ",  // cut after it
           "send(3, 0x4a",                         // cut in the arguments
           "gethostbyname(\"localhost\") returned 127.0.0.1 (localh",
           "gethostbyname(\"h\") returned 127.0.0 (h)",
           "gethostbyname(\"h\") returned 256.0.0.1 (h)",
           "gethostbyname(\"h\") returned -1 (h)",
           "WSAAsyncSelect(3, 0x0, 0x400, 1) returned 0x",
           "WSAAsyncSelect(3, 0x0, 0x400, 1) returned 0xZZ",
           "recv(3, 0x4a2f10, 512, 0) returned -",
           "recv(3, 0x4a2f10, 512, 0) returned 12a",
           "recv(3, 0x4a2f10, 512, 0) returned 5 [10035]",  // code on an INF
                                                            // line
           "socket(2, 1, 6) returned invalid_socket",
       }) {
    const std::string line = std::string("MYAPP 140509 0000 INF: ") + text;
    const ParsedLine p = ParseLine(line);
    EXPECT_EQ(p.kind, LineKind::Malformed) << text;
    EXPECT_EQ(p.fault, Fault::BadResult) << text;
  }
  // The same damage to a name the tracer never writes is a custom record.
  EXPECT_EQ(ParseLine("MYAPP 140509 0000 INF: mysend(3, 0x4a").kind,
            LineKind::Other);
}

TEST(ParseCallResult, ErrorCallNeedsItsCodeAtTheEnd) {
  for (const char *text :
       {"connect(3, 10.1.2.3:80, 16) returned -1",
        "connect(3, 10.1.2.3:80, 16) returned -1 [10a61]",
        "connect(3, 10.1.2.3:80, 16) returned -1 []",
        "connect(3, 10.1.2.3:80, 16) returned -1 [1234567890]"}) {
    for (const char *tag : {"ERR: ", "WRN: "}) {
      const std::string line = std::string("MYAPP 140509 0250 ") + tag + text;
      const ParsedLine p = ParseLine(line);
      EXPECT_EQ(p.kind, LineKind::Malformed) << tag << text;
    }
  }
  EXPECT_EQ(
      ParseLine(
          "MYAPP 140509 0250 ERR: connect(3, 10.1.2.3:80, 16) returned -1")
          .fault,
      Fault::MissingCode);
  // A code cut short leaves "-1 [1006" as the result.
  EXPECT_EQ(ParseLine("MYAPP 140509 0250 ERR: connect(3, 10.1.2.3:80, 16) "
                      "returned -1 [1006")
                .fault,
            Fault::BadResult);
  EXPECT_EQ(ParseLine("MYAPP 140509 0250 ERR: connect(3, 10.1.2.3:80, 16) "
                      "returned -1 [123456789]")
                .code,
            123456789u);
  // The resolver's own codes are negative.
  EXPECT_EQ(ParseLine("MYAPP 140509 0250 ERR: getaddrinfo(\"a\", NULL) "
                      "returned -9 [-9]")
                .code,
            0u - 9u);
}

// Dump lines and lines that are not text at all.

TEST(ParseDumpLine, OffsetsOfFourOrMoreHexDigits) {
  for (
      const char *dump : {
          "      0000  48 65 6C 6C 6F                                   Hello",
          "      0010  48 65 6C 6C 6F 20 77 6F:72 6C 64 21 0D 0A 00 FF  Hello "
          "world!....",
          "      FFF0  41                                               A",
          "      10000  48 65 6C 6C 6F                                   "
          "Hello",
          "      1A2B3  48:",
          " 0000  41                                               A",  // empty
                                                                        // module
                                                                        // name
          "            0020  0D 0A                                            "
          "..",
      }) {
    const ParsedLine p = ParseLine(dump);
    EXPECT_EQ(p.kind, LineKind::Dump) << dump;
  }
}

TEST(ParseDumpLine, IndentedLinesOfOtherShapesAreMalformed) {
  for (const char *bad :
       {"      00Z0  48 65", "      00ab  48 65", "      000  48 65",
        "      0000 48 65", "      0000  ", "      0000  4",
        "      0000  4g 65", "      0000  48-65", "      ", "  hello"}) {
    const ParsedLine p = ParseLine(bad);
    EXPECT_EQ(p.kind, LineKind::Malformed) << '"' << bad << '"';
    EXPECT_EQ(p.fault, Fault::BadDump) << '"' << bad << '"';
  }
  // One leading space is an empty module name, so the text layout decides.
  EXPECT_EQ(ParseLine(" garbage").fault, Fault::BadClock);
}

TEST(ParseGarbage, ControlBytesAndEmptyLines) {
  EXPECT_EQ(ParseLine("").fault, Fault::Empty);
  const std::string nul_inside(
      "MYAPP 140509 0000 INF: send(3, \0x, 1, 0) returned 1", 51);
  for (const std::string &bad :
       {nul_inside, std::string("\x00\x00\x1a\xff garbage", 12),
        std::string("MYAPP 140509 0000 INF: a\rb"),
        std::string("MYAPP 140509 0000 INF: \x1b[31m"),
        std::string("MYAPP 140509 0000 INF: del\x7f"), std::string("\x01")}) {
    const ParsedLine p = ParseLine(bad);
    EXPECT_EQ(p.kind, LineKind::Malformed);
    EXPECT_EQ(p.fault, Fault::ControlByte);
  }
  EXPECT_EQ(ParseLine("\xff\xfe\xfd").fault, Fault::BadClock);
}

TEST(ParseCallResult, ByteCountsAreNonNegativeIntegersOnly) {
  std::uint64_t n = 7;
  EXPECT_TRUE(nqtrace::ResultAsCount("60", n));
  EXPECT_EQ(n, 60u);
  EXPECT_TRUE(nqtrace::ResultAsCount("0", n));
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(nqtrace::ResultAsCount("9999999999999999999", n));
  EXPECT_EQ(n, 9999999999999999999u);
  n = 7;
  for (const char *no : {"-1", "NULL", "0x10", "", "12a", "TRUE",
                         "10.0.0.1 (h)", "18446744073709551616"}) {
    EXPECT_FALSE(nqtrace::ResultAsCount(no, n)) << no;
    EXPECT_EQ(n, 7u) << no;
  }
}

TEST(WinsockNames, ErrorCodesAtTheEdgesOfTheTable) {
  EXPECT_STREQ(nqtrace::WsaErrorName(10004), "WSAEINTR");
  EXPECT_STREQ(nqtrace::WsaErrorName(10035), "WSAEWOULDBLOCK");
  EXPECT_STREQ(nqtrace::WsaErrorName(10061), "WSAECONNREFUSED");
  EXPECT_STREQ(nqtrace::WsaErrorName(10093), "WSANOTINITIALISED");
  EXPECT_STREQ(nqtrace::WsaErrorName(10101), "WSAEDISCON");
  EXPECT_STREQ(nqtrace::WsaErrorName(11001), "WSAHOST_NOT_FOUND");
  EXPECT_STREQ(nqtrace::WsaErrorName(11004), "WSANO_DATA");
  for (std::uint32_t unknown :
       {0u, 10003u, 10005u, 10072u, 10107u, 11000u, 11005u})
    EXPECT_EQ(nqtrace::WsaErrorName(unknown), nullptr) << unknown;
}

TEST(WinsockNames, CodesBelow10000AreLinuxErrnoNames) {
  const std::pair<std::uint32_t, const char *> names[] = {
      {11, "EAGAIN"},
      {111, "ECONNREFUSED"},
      {115, "EINPROGRESS"},
      {104, "ECONNRESET"},
      {1, "EPERM"},
      {125, "ECANCELED"},
      {10061, "WSAECONNREFUSED"},
      {11001, "WSAHOST_NOT_FOUND"}};
  for (const auto &n : names)
    EXPECT_STREQ(nqtrace::ErrorName(n.first), n.second) << n.first;
  for (std::uint32_t unknown : {0u, 3u, 126u, 9999u, 10107u})
    EXPECT_EQ(nqtrace::ErrorName(unknown), nullptr) << unknown;
}

TEST(WinsockNames, DataDirectionFollowsTheList) {
  const std::pair<const char *, int> calls[] = {
      {"send", 1},        {"sendto", 1},    {"write", 1},     {"sendmmsg", 1},
      {"splice", 1},      {"recv", -1},     {"recvfrom", -1}, {"readv", -1},
      {"recvmsg", -1},    {"connect", 0},   {"select", 0},    {"socketpair", 0},
      {"getaddrinfo", 0}, {"WSARecvEx", 0}, {"Send", 0},      {"", 0}};
  for (const auto &c : calls)
    EXPECT_EQ(nqtrace::DataDirection(c.first), c.second) << c.first;
}

TEST(WinsockNames, TracedFunctionsMatchExactly) {
  for (const char *f : {"accept", "connect", "socket", "recvfrom", "sendto",
                        "WSAAsyncGetHostByName", "WSAUnhookBlockingHook",
                        "read", "getaddrinfo"})
    EXPECT_TRUE(nqtrace::IsTracedFunction(f)) << f;
  for (const char *f :
       {"Connect", "conn", "connectx", "", "WSAStartup", "mysend"})
    EXPECT_FALSE(nqtrace::IsTracedFunction(f)) << f;
}

TEST(WinsockNames, WindowsSockets2CallsFromTheList) {
  // Names in two lists (recvfrom) keep the result that counts their bytes.
  const std::tuple<const char *, int, bool, bool> calls[] = {
      {"WSASendTo", 1, false, true},
      {"AcceptEx", -1, false, true},
      {"recvfrom", -1, false, false},
      {"WSAIoctl", 0, false, false},
      {"CompletionRoutine", 0, true, false},
      {"GetOverlappedResultEx", 0, true, false}};
  for (const auto &[name, direction, completion, by_dump] : calls) {
    EXPECT_EQ(nqtrace::DataDirection(name), direction) << name;
    EXPECT_EQ(nqtrace::IsCompletion(name), completion) << name;
    EXPECT_EQ(nqtrace::MovesByDump(name), by_dump) << name;
  }
}

// A TLS call's bytes are its plaintext, never the socket's: the bracketed
// count of the _ex forms, else a result above zero of a call that did not
// fail.
TEST(TlsLines, PlaintextCountAndDirection) {
  const struct {
    const char *text;
    int direction;
    std::uint64_t count;  // 0: none
  } lines[] = {
      {"INF: SSL_write(5, 0x1, 79) returned 79", 1, 79},
      {"INF: SSL_read(-1, 0x1, 102400) returned 5184", -1, 5184},
      {"INF: SSL_read(5, 0x1, 16) returned 0", -1, 0},
      {"WRN: SSL_read(5, 0x1, 16) returned -1 [11]", -1, 0},
      {"INF: SSL_read_ex(5, 0x1, 16384, [120]) returned 1", -1, 120},
      {"INF: SSL_write_early_data(5, 0x1, 9, [9]) returned 1", 1, 9},
      {"ERR: SSL_write_ex(5, 0x1, 16, 0x2) returned 0 [71]", 1, 0},
      {"INF: SSL_read_ex(5, 0x1, 16, 0x2) returned 1", -1, 0},
      {"INF: gnutls_record_send(3, 0x1, 35) returned 35", 1, 35},
      {"WRN: gnutls_record_recv(3, 0x1, 4096) returned -28 [11]", -1, 0},
      {"INF: SSL_shutdown(5) returned 1", 0, 0},
      {"INF: send(5, 0x1, 79, 0) returned 79", 0, 0},
  };
  for (const auto &l : lines) {
    const std::string line = std::string("M 120000 0000 ") + l.text;
    const ParsedLine p = ParseLine(line);
    ASSERT_EQ(p.kind, LineKind::Call) << l.text;
    EXPECT_EQ(nqtrace::PlaintextDirection(p.function), l.direction) << l.text;
    EXPECT_EQ(nqtrace::DataDirection(p.function) != 0, p.function == "send")
        << l.text;
    std::uint64_t n = 0;
    EXPECT_EQ(nqtrace::PlaintextCount(p, n), l.count != 0) << l.text;
    EXPECT_EQ(l.count != 0 ? n : 0, l.count) << l.text;
  }
}

TEST(TlsLines, KeyLogRecords) {
  std::string_view key;
  EXPECT_TRUE(nqtrace::TlsKeyLog("TLS key log: CLIENT_RANDOM ab cd", key));
  EXPECT_EQ(key, "CLIENT_RANDOM ab cd");
  for (const char *other : {"TLS key log: ", "TLS key log:CLIENT_RANDOM a b",
                            "tls key log: CLIENT_RANDOM a b", "x"})
    EXPECT_FALSE(nqtrace::TlsKeyLog(other, key)) << other;
}

}  // namespace
