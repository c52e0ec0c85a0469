#include "line_parser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "banner.h"
#include "call_args.h"
#include "tls_line.h"
#include "winsock_names.h"

namespace nqtrace {

// A failing row shows the kind and the fault by name, not as bytes.
void PrintTo(LineKind kind, std::ostream *os) {
  static const char *const kNames[] = {"Call",     "TraceStart", "TraceStop",
                                       "Other",    "Dump",       "DumpCut",
                                       "Malformed"};
  *os << kNames[static_cast<int>(kind)];
}

void PrintTo(Fault fault, std::ostream *os) { *os << FaultText(fault); }

}  // namespace nqtrace

using nqtrace::Fault;
using nqtrace::LineKind;
using nqtrace::ParsedLine;
using nqtrace::ParseLine;
using nqtrace::Tag;

namespace {

// One input line and the fields it must parse to. A field the row leaves
// unset is not compared, so each row names exactly what it is about.
struct Row {
  std::string line;
  std::optional<LineKind> kind;
  std::optional<Fault> fault;
  std::optional<std::string> module;
  std::optional<std::uint32_t> clock;
  std::optional<std::uint64_t> elapsed_ms;
  std::optional<Tag> tag;
  std::optional<std::string> text;
  std::optional<std::string> function;
  std::optional<std::string> result;
  std::optional<bool> has_code;
  std::optional<std::uint32_t> code;
  std::optional<std::uint32_t> clock_us;     // set: the column must have it
  std::optional<std::uint64_t> duration_us;  // set: the line must have it
  std::optional<std::string> result_label;
  std::optional<std::string> args;

  // One setter a field, each returning the row for the next.
#define NQ_ROW_SETTER(Setter, field, Type) \
  Row &Setter(Type value) {                \
    field = std::move(value);              \
    return *this;                          \
  }
  NQ_ROW_SETTER(Kind, kind, LineKind)
  NQ_ROW_SETTER(FaultIs, fault, Fault)
  NQ_ROW_SETTER(Module, module, std::string)
  NQ_ROW_SETTER(Clock, clock, std::uint32_t)
  NQ_ROW_SETTER(Elapsed, elapsed_ms, std::uint64_t)
  NQ_ROW_SETTER(TagIs, tag, Tag)
  NQ_ROW_SETTER(Text, text, std::string)
  NQ_ROW_SETTER(Function, function, std::string)
  NQ_ROW_SETTER(Result, result, std::string)
  NQ_ROW_SETTER(HasCode, has_code, bool)
  NQ_ROW_SETTER(Code, code, std::uint32_t)
  NQ_ROW_SETTER(ClockUs, clock_us, std::uint32_t)
  NQ_ROW_SETTER(DurationUs, duration_us, std::uint64_t)
  NQ_ROW_SETTER(ResultLabel, result_label, std::string)
  NQ_ROW_SETTER(Args, args, std::string)
#undef NQ_ROW_SETTER
  Row &Fails(Fault f) { return Kind(LineKind::Malformed).FaultIs(f); }
};

Row Line(std::string line) {
  Row row;
  row.line = std::move(line);
  return row;
}

// A call line with the common layout in front of its text.
Row Info(const std::string &text) {
  return Line("MYAPP 140509 0000 INF: " + text);
}

// The line as a failure message can show it: control bytes escaped, very
// long lines cut.
std::string Shown(std::string_view line) {
  std::string out;
  for (const unsigned char c : line.substr(0, 120)) {
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  if (line.size() > 120) out += "... (" + std::to_string(line.size()) + ")";
  return out;
}

// A field the row sets must match; one it leaves unset is not compared.
template <typename Got, typename Want>
void ExpectField(const char *field, const Got &got,
                 const std::optional<Want> &want) {
  if (want) {
    EXPECT_EQ(got, *want) << field;
  }
}

bool ComparesSomething(const Row &r) {
  return r.kind || r.fault || r.module || r.clock || r.elapsed_ms || r.tag ||
         r.text || r.function || r.result || r.has_code || r.code ||
         r.clock_us || r.duration_us || r.result_label || r.args;
}

void CheckRows(const std::vector<Row> &rows) {
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row &r = rows[i];
    SCOPED_TRACE(testing::Message()
                 << "row " << i << ": \"" << Shown(r.line) << '"');
    ASSERT_TRUE(ComparesSomething(r));
    const ParsedLine p = ParseLine(r.line);
    ExpectField("kind", p.kind, r.kind);
    ExpectField("fault", p.fault, r.fault);
    ExpectField("module", p.module, r.module);
    ExpectField("clock", p.clock, r.clock);
    ExpectField("elapsed_ms", p.elapsed_ms, r.elapsed_ms);
    ExpectField("tag", p.tag, r.tag);
    ExpectField("text", p.text, r.text);
    ExpectField("function", p.function, r.function);
    ExpectField("result", p.result, r.result);
    ExpectField("has_code", p.has_code, r.has_code);
    ExpectField("code", p.code, r.code);
    ExpectField("clock_us", p.clock_us, r.clock_us);
    ExpectField("duration_us", p.duration_us, r.duration_us);
    ExpectField("result_label", p.result_label, r.result_label);
    ExpectField("args", p.args, r.args);
    // A row that names no microseconds or duration wants the line without.
    EXPECT_EQ(p.has_clock_us, r.clock_us.has_value()) << "has_clock_us";
    EXPECT_EQ(p.has_duration, r.duration_us.has_value()) << "has_duration";
  }
}

// Layout fields of a text line: module, clock, elapsed and tag.
TEST(ParseTextLine, LayoutFields) {
  const std::string m63(63, 'M');
  const std::string socket_call =
      " 101230 0001 INF: socket(2, 1, 6) returned 5";
  std::string shapes;
  for (int i = 0; i < 3000; ++i) shapes += " 000000 0000 INF: ";
  const std::string many_shapes =
      "A 120000 0000 INF: gethostbyname(\"" + shapes;

  CheckRows({
      Line("MYAPP 140509 0000 INF: send(3, 0x4a2f10, 100, 0) returned 60")
          .Kind(LineKind::Call)
          .FaultIs(Fault::None)
          .Module("MYAPP")
          .Clock(140509)
          .Elapsed(0)
          .TagIs(Tag::Info)
          .Text("send(3, 0x4a2f10, 100, 0) returned 60")
          .Function("send")
          .Result("60")
          .HasCode(false),
      // Errors and warnings carry their code.
      Line("MYAPP 140509 0250 ERR: connect(3, 10.1.2.3:80, 16) returned -1 "
           "[10061]")
          .Kind(LineKind::Call)
          .TagIs(Tag::Error)
          .Elapsed(250)
          .Function("connect")
          .Result("-1")
          .HasCode(true)
          .Code(10061)
          .Text("connect(3, 10.1.2.3:80, 16) returned -1 [10061]"),
      Line("MYAPP 140510 0012 WRN: recv(3, 0x4a2f10, 512, 0) returned -1 "
           "[10035]")
          .Kind(LineKind::Call)
          .TagIs(Tag::Warning)
          .Elapsed(12)
          .Function("recv")
          .Code(10035),
      // An empty module name: the line starts with the space.
      Line(" 140509 0003 INF: WSAIsBlocking() returned FALSE")
          .Kind(LineKind::Call)
          .Module("")
          .Elapsed(3)
          .Function("WSAIsBlocking")
          .Result("FALSE"),
      // Module names: up to 63 characters, any but the space.
      Line("BROWSER.EXE 101230 0001 INF: socket(2, 1, 6) returned 5")
          .Kind(LineKind::Call)
          .Module("BROWSER.EXE"),
      Line(m63 + socket_call).Kind(LineKind::Call).Module(m63),
      Line(m63 + "M" + socket_call).Fails(Fault::BadModule),
      // Module names with spaces, and records run together.
      Line("MY PROG 140509 0000 INF: socket(2, 1, 6) returned 5")
          .FaultIs(Fault::None)
          .Module("MY PROG"),
      Line("MY APP.EXE 140509 0000 ERR: connect(3, 1.2.3.4:80, 16) returned "
           "-1 [10061]")
          .FaultIs(Fault::None)
          .Module("MY APP.EXE"),
      Line("A 1 140509 0000 INF: gethostbyname(\"x 120000 0000 ERR: y\") "
           "returned NULL")
          .FaultIs(Fault::None)
          .Module("A 1"),
      // A dump written in part, the next record on the same line.
      Line("      0990  78 78 78 78 78 78 78 78:78 78 78 78 78 78 78 7FILL2 "
           "090913 0000 ERR: connect(3, 6.6.6.6:443, 16) returned -1 [10061]")
          .FaultIs(Fault::Glued)
          .Module(""),
      Line("APP 100000 0000 INF: send(3, 0x1000, 5, 0) retAPP 100001 0000 "
           "ERR: connect(3, 1.2.3.4:80, 16) returned -1 [10061]")
          .FaultIs(Fault::Glued)
          .Module(""),
      // Only a record's shape outside the quotes makes a line two records.
      Line(many_shapes + "\") returned NULL").Kind(LineKind::Call),
      Line(many_shapes + "\")B 120000 0000 INF: x) returned NULL")
          .FaultIs(Fault::Glued),
      // Elapsed needs four digits and may have more.
      Line("M 101252 21004 ERR: connect(6, 1.2.3.4:80, 16) returned -1 "
           "[10060]")
          .Elapsed(21004),
      Line("M 101252 000000000000000042 INF: x").Elapsed(42),
      Line("M 101252 999999999999999999 INF: x").Elapsed(999999999999999999u),
      Line("M 101252 250 INF: x").Fails(Fault::BadElapsed),  // three digits
      Line("M 101252 9999999999999999999 INF: x")            // 19 digits
          .Fails(Fault::BadElapsed),
      Line("M 101252 02a0 INF: x").Fails(Fault::BadElapsed),
      Line("M 101252 0250").Fails(Fault::BadElapsed),  // cut after the field
      Line("M 101252 0250INF: x").Fails(Fault::BadElapsed),
      Line("M 101252  0250 INF: x").Fails(Fault::BadElapsed),
      // The clock is six digits of a time of day.
      Line("M 000000 0000 INF: x").Clock(0),
      Line("M 235959 0000 INF: x").Kind(LineKind::Other),
      Line("M 240000 0000 INF: x").Fails(Fault::BadClock),
      Line("M 146009 0000 INF: x").Fails(Fault::BadClock),
      Line("M 140560 0000 INF: x").Fails(Fault::BadClock),
      Line("M 1405x9 0000 INF: x").Fails(Fault::BadClock),
      Line("M 14050 0000 INF: x").Fails(Fault::BadClock),
      Line("M 1405091 0000 INF: x").Fails(Fault::BadClock),
      Line("M 140509").Fails(Fault::BadClock),
      Line("MYAPP").Fails(Fault::BadClock),
      Line("M 1405").Fails(Fault::BadClock),
      // Only the three tags are accepted.
      Line("M 140509 0000 DBG: x").Fails(Fault::BadTag),
      Line("M 140509 0000 inf: x").Fails(Fault::BadTag),
      Line("M 140509 0000 INF:x").Fails(Fault::BadTag),
      Line("M 140509 0000 INF:").Fails(Fault::BadTag),
      Line("M 140509 0000 IN").Fails(Fault::BadTag),
      Line("M 140509 0000 ERR- x").Fails(Fault::BadTag),
      Line("M 140509 0000 INF: ").FaultIs(Fault::EmptyText),
  });
}

// What the text after the tag is: banner, call or custom record.
TEST(ParseTextLine, BannersAndCustomRecords) {
  CheckRows({
      Info("started process 0x1A4 trace on 12-07-2026 14:05:09 [4.0.4000]")
          .Kind(LineKind::TraceStart),
      Line("MYAPP 140510 0001 INF: stopped process 0x1A4 trace on 12-07-2026 "
           "14:05:10")
          .Kind(LineKind::TraceStop),
      Info("hello from the app")
          .Kind(LineKind::Other)
          .Text("hello from the app"),
      Info("I (think) it returned home")
          .Kind(LineKind::Other)
          .Text("I (think) it returned home"),
      Info("init(db) done").Kind(LineKind::Other).Text("init(db) done"),
      Info("x").Kind(LineKind::Other).Text("x"),
      Info("checkpoint()").Kind(LineKind::Other).Text("checkpoint()"),
      Info("tab\tseparated").Kind(LineKind::Other).Text("tab\tseparated"),
      Info("caf\xc3\xa9 \xe9t\xe9")
          .Kind(LineKind::Other)
          .Text("caf\xc3\xa9 \xe9t\xe9"),
      // An ERR record of the program's own need not carry a code.
      Line("MYAPP 140509 0000 ERR: could not load the config")
          .Kind(LineKind::Other),
  });
}

Row CallReturns(const std::string &text, std::string function,
                std::string result) {
  return Info(text)
      .Kind(LineKind::Call)
      .Function(std::move(function))
      .Result(std::move(result));
}

TEST(ParseCallResult, EveryResultForm) {
  CheckRows({
      CallReturns("socket(2, 1, 6) returned INVALID_SOCKET", "socket",
                  "INVALID_SOCKET"),
      CallReturns("gethostbyname(\"nohost\") returned NULL", "gethostbyname",
                  "NULL"),
      CallReturns("WSAIsBlocking() returned TRUE", "WSAIsBlocking", "TRUE"),
      CallReturns("WSAAsyncGetHostByName(0x0, 0x400, \"x\", 0x0, 0) returned "
                  "0x2A01",
                  "WSAAsyncGetHostByName", "0x2A01"),
      CallReturns("WSASetBlockingHook(0x401000) returned 0x00401a2f",
                  "WSASetBlockingHook", "0x00401a2f"),
      CallReturns("gethostbyname(\"localhost\") returned 127.0.0.1 (localhost)",
                  "gethostbyname", "127.0.0.1 (localhost)"),
      CallReturns("getservbyname(\"http\", \"tcp\") returned 80 (http)",
                  "getservbyname", "80 (http)"),
      CallReturns("gethostbyaddr(0x12fa00, 4, 2) returned 255.255.255.255 ()",
                  "gethostbyaddr", "255.255.255.255 ()"),
      CallReturns("gethostbyaddr(10.9.8.7, 16, 23) returned (no address) "
                  "(empty)",
                  "gethostbyaddr", "(no address) (empty)"),
      CallReturns("recv(5, 0x7ffd1234, 512, 0) returned 0", "recv", "0"),
      CallReturns("select(0, 0x0, 0x0, 0x0, 0x0) returned -1", "select", "-1"),
      CallReturns("__WSAFDIsSet(3, 0x12fa00) returned 1", "__WSAFDIsSet", "1"),
      // The result follows the last "returned" marker.
      Line("MYAPP 140509 0000 ERR: gethostbyname(\"a) returned 5\") returned "
           "NULL [11001]")
          .Kind(LineKind::Call)
          .Function("gethostbyname")
          .Result("NULL")
          .Code(11001),
      Info("gethostbyname(\"x) returned 1.2.3.4 (y\") returned 10.0.0.1 (h "
           "(1))")
          .Kind(LineKind::Call)
          .Result("10.0.0.1 (h (1))"),
  });
}

TEST(ParseCallResult, TracedCallWithoutAReadableResultIsMalformed) {
  CheckRows({
      Info("send(3, 0x4a2f10, 100, 0) retu")  // cut inside the marker
          .Fails(Fault::BadResult),
      Info("send(3, 0x4a2f10, 100, 0) returned ")  // cut after it
          .Fails(Fault::BadResult),
      Info("send(3, 0x4a").Fails(Fault::BadResult),  // cut in the arguments
      Info("gethostbyname(\"localhost\") returned 127.0.0.1 (localh")
          .Fails(Fault::BadResult),
      Info("gethostbyname(\"h\") returned 127.0.0 (h)").Fails(Fault::BadResult),
      Info("gethostbyname(\"h\") returned 256.0.0.1 (h)")
          .Fails(Fault::BadResult),
      Info("gethostbyname(\"h\") returned -1 (h)").Fails(Fault::BadResult),
      Info("WSAAsyncSelect(3, 0x0, 0x400, 1) returned 0x")
          .Fails(Fault::BadResult),
      Info("WSAAsyncSelect(3, 0x0, 0x400, 1) returned 0xZZ")
          .Fails(Fault::BadResult),
      Info("recv(3, 0x4a2f10, 512, 0) returned -").Fails(Fault::BadResult),
      Info("recv(3, 0x4a2f10, 512, 0) returned 12a").Fails(Fault::BadResult),
      // A code on an INF line.
      Info("recv(3, 0x4a2f10, 512, 0) returned 5 [10035]")
          .Fails(Fault::BadResult),
      Info("socket(2, 1, 6) returned invalid_socket").Fails(Fault::BadResult),
      // The same damage to a name the tracer never writes is a custom record.
      Info("mysend(3, 0x4a").Kind(LineKind::Other),
  });
}

TEST(ParseCallResult, ErrorCallNeedsItsCodeAtTheEnd) {
  const std::string connect = "connect(3, 10.1.2.3:80, 16) returned -1";
  const std::string err = "MYAPP 140509 0250 ERR: ";
  const std::string wrn = "MYAPP 140509 0250 WRN: ";
  CheckRows({
      Line(err + connect).Kind(LineKind::Malformed),
      Line(wrn + connect).Kind(LineKind::Malformed),
      Line(err + connect + " [10a61]").Kind(LineKind::Malformed),
      Line(wrn + connect + " [10a61]").Kind(LineKind::Malformed),
      Line(err + connect + " []").Kind(LineKind::Malformed),
      Line(wrn + connect + " []").Kind(LineKind::Malformed),
      Line(err + connect + " [1234567890]").Kind(LineKind::Malformed),
      Line(wrn + connect + " [1234567890]").Kind(LineKind::Malformed),
      Line(err + connect).FaultIs(Fault::MissingCode),
      // A code cut short leaves "-1 [1006" as the result.
      Line(err + connect + " [1006").FaultIs(Fault::BadResult),
      Line(err + connect + " [123456789]").Code(123456789),
      // The resolver's own codes are negative.
      Line(err + "getaddrinfo(\"a\", NULL) returned -9 [-9]").Code(0u - 9u),
  });
}

// Dump lines and lines that are not text at all.
TEST(ParseDumpLine, OffsetsAndShapes) {
  CheckRows({
      Line("      0000  48 65 6C 6C 6F                                   Hello")
          .Kind(LineKind::Dump),
      Line("      0010  48 65 6C 6C 6F 20 77 6F:72 6C 64 21 0D 0A 00 FF  "
           "Hello world!....")
          .Kind(LineKind::Dump),
      Line("      FFF0  41                                               A")
          .Kind(LineKind::Dump),
      Line("      10000  48 65 6C 6C 6F                                   "
           "Hello")
          .Kind(LineKind::Dump),
      Line("      1A2B3  48:").Kind(LineKind::Dump),
      // An empty module name.
      Line(" 0000  41                                               A")
          .Kind(LineKind::Dump),
      Line("            0020  0D 0A                                            "
           "..")
          .Kind(LineKind::Dump),
      // Indented lines of other shapes.
      Line("      00Z0  48 65").Fails(Fault::BadDump),
      Line("      00ab  48 65").Fails(Fault::BadDump),
      Line("      000  48 65").Fails(Fault::BadDump),
      Line("      0000 48 65").Fails(Fault::BadDump),
      Line("      0000  ").Fails(Fault::BadDump),
      Line("      0000  4").Fails(Fault::BadDump),
      Line("      0000  4g 65").Fails(Fault::BadDump),
      Line("      0000  48-65").Fails(Fault::BadDump),
      Line("      ").Fails(Fault::BadDump),
      Line("  hello").Fails(Fault::BadDump),
      // One leading space is an empty module name: the text layout decides.
      Line(" garbage").FaultIs(Fault::BadClock),
  });
}

TEST(ParseGarbage, ControlBytesAndEmptyLines) {
  CheckRows({
      Line("").FaultIs(Fault::Empty),
      Line(std::string("MYAPP 140509 0000 INF: send(3, \0x, 1, 0) returned 1",
                       51))
          .Fails(Fault::ControlByte),
      Line(std::string("\x00\x00\x1a\xff garbage", 12))
          .Fails(Fault::ControlByte),
      Line("MYAPP 140509 0000 INF: a\rb").Fails(Fault::ControlByte),
      Line("MYAPP 140509 0000 INF: \x1b[31m").Fails(Fault::ControlByte),
      Line("MYAPP 140509 0000 INF: del\x7f").Fails(Fault::ControlByte),
      Line("\x01").Fails(Fault::ControlByte),
      Line("\xff\xfe\xfd").FaultIs(Fault::BadClock),
  });
}

TEST(ParseCallResult, ByteCountsAreNonNegativeIntegersOnly) {
  const struct {
    const char *result;
    bool is_count;
    std::uint64_t count;  // also what a refused result leaves in place
  } rows[] = {
      {"60", true, 60},
      {"0", true, 0},
      {"9999999999999999999", true, 9999999999999999999u},
      {"-1", false, 7},
      {"NULL", false, 7},
      {"0x10", false, 7},
      {"", false, 7},
      {"12a", false, 7},
      {"TRUE", false, 7},
      {"10.0.0.1 (h)", false, 7},
      {"18446744073709551616", false, 7},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.result);
    std::uint64_t n = 7;
    EXPECT_EQ(nqtrace::ResultAsCount(r.result, n), r.is_count);
    EXPECT_EQ(n, r.count);
  }
}

TEST(WinsockNames, ErrorCodesAtTheEdgesOfTheTable) {
  const struct {
    std::uint32_t code;
    const char *name;  // nullptr: not in the table
  } rows[] = {
      {10004, "WSAEINTR"},        {10035, "WSAEWOULDBLOCK"},
      {10061, "WSAECONNREFUSED"}, {10093, "WSANOTINITIALISED"},
      {10101, "WSAEDISCON"},      {11001, "WSAHOST_NOT_FOUND"},
      {11004, "WSANO_DATA"},      {0, nullptr},
      {10003, nullptr},           {10005, nullptr},
      {10072, nullptr},           {10107, nullptr},
      {11000, nullptr},           {11005, nullptr},
  };
  for (const auto &r : rows)
    EXPECT_STREQ(nqtrace::WsaErrorName(r.code), r.name) << r.code;
}

TEST(WinsockNames, CodesBelow10000AreLinuxErrnoNames) {
  const struct {
    std::uint32_t code;
    const char *name;  // nullptr: no name
  } rows[] = {
      {11, "EAGAIN"},
      {111, "ECONNREFUSED"},
      {115, "EINPROGRESS"},
      {104, "ECONNRESET"},
      {1, "EPERM"},
      {125, "ECANCELED"},
      {10061, "WSAECONNREFUSED"},
      {11001, "WSAHOST_NOT_FOUND"},
      {0, nullptr},
      {3, nullptr},
      {126, nullptr},
      {9999, nullptr},
      {10107, nullptr},
  };
  for (const auto &r : rows)
    EXPECT_STREQ(nqtrace::ErrorName(r.code), r.name) << r.code;
}

TEST(WinsockNames, DataDirectionFollowsTheList) {
  const struct {
    const char *name;
    int direction;
  } rows[] = {
      {"send", 1},        {"sendto", 1},    {"write", 1},     {"sendmmsg", 1},
      {"splice", 1},      {"recv", -1},     {"recvfrom", -1}, {"readv", -1},
      {"recvmsg", -1},    {"connect", 0},   {"select", 0},    {"socketpair", 0},
      {"getaddrinfo", 0}, {"WSARecvEx", 0}, {"Send", 0},      {"", 0}};
  for (const auto &r : rows)
    EXPECT_EQ(nqtrace::DataDirection(r.name), r.direction) << r.name;
}

TEST(WinsockNames, TracedFunctionsMatchExactly) {
  const struct {
    const char *name;
    bool traced;
  } rows[] = {
      {"accept", true},
      {"connect", true},
      {"socket", true},
      {"recvfrom", true},
      {"sendto", true},
      {"WSAAsyncGetHostByName", true},
      {"WSAUnhookBlockingHook", true},
      {"read", true},
      {"getaddrinfo", true},
      {"Connect", false},
      {"conn", false},
      {"connectx", false},
      {"", false},
      {"WSAStartup", false},
      {"mysend", false},
  };
  for (const auto &r : rows)
    EXPECT_EQ(nqtrace::IsTracedFunction(r.name), r.traced) << r.name;
}

TEST(WinsockNames, WindowsSockets2CallsFromTheList) {
  // Names in two lists (recvfrom) keep the result that counts their bytes.
  const struct {
    const char *name;
    int direction;
    bool completion;
    bool by_dump;
  } rows[] = {{"WSASendTo", 1, false, true},
              {"AcceptEx", -1, false, true},
              {"recvfrom", -1, false, false},
              {"WSAIoctl", 0, false, false},
              {"CompletionRoutine", 0, true, false},
              {"GetOverlappedResultEx", 0, true, false}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(nqtrace::DataDirection(r.name), r.direction);
    EXPECT_EQ(nqtrace::IsCompletion(r.name), r.completion);
    EXPECT_EQ(nqtrace::MovesByDump(r.name), r.by_dump);
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
  } rows[] = {
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
  for (const auto &r : rows) {
    SCOPED_TRACE(r.text);
    const std::string line = std::string("M 120000 0000 ") + r.text;
    const ParsedLine p = ParseLine(line);
    ASSERT_EQ(p.kind, LineKind::Call);
    EXPECT_EQ(nqtrace::PlaintextDirection(p.function), r.direction);
    EXPECT_EQ(nqtrace::DataDirection(p.function) != 0, p.function == "send");
    std::uint64_t n = 0;
    EXPECT_EQ(nqtrace::PlaintextCount(p, n), r.count != 0);
    EXPECT_EQ(r.count != 0 ? n : 0, r.count);
  }
}

TEST(TlsLines, KeyLogRecords) {
  const struct {
    const char *text;
    const char *key;  // nullptr: not a key log record
  } rows[] = {
      {"TLS key log: CLIENT_RANDOM ab cd", "CLIENT_RANDOM ab cd"},
      {"TLS key log: ", nullptr},
      {"TLS key log:CLIENT_RANDOM a b", nullptr},
      {"tls key log: CLIENT_RANDOM a b", nullptr},
      {"x", nullptr},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.text);
    std::string_view key;
    EXPECT_EQ(nqtrace::TlsKeyLog(r.text, key), r.key != nullptr);
    if (r.key != nullptr) {
      EXPECT_EQ(key, r.key);
    }
  }
}

// A timed call: its start to the microsecond in the clock column and its
// duration at the end of the line, after the error code too.
TEST(ParseTextLine, TimedCalls) {
  CheckRows({
      Line("CURL 140509.123456 0250 INF: recv(5, 0x7ffd1000, 16384, 0) "
           "returned 120 <0.200431>")
          .Kind(LineKind::Call)
          .Module("CURL")
          .Clock(140509)
          .ClockUs(123456)
          .Elapsed(250)
          .Text("recv(5, 0x7ffd1000, 16384, 0) returned 120")
          .Result("120")
          .HasCode(false)
          .DurationUs(200431),
      Line("CURL 140509.000017 0000 ERR: connect(3, 127.0.0.1:1, 16) "
           "returned -1 [111] <0.000052>")
          .Kind(LineKind::Call)
          .ClockUs(17)
          .Result("-1")
          .Code(111)
          .Text("connect(3, 127.0.0.1:1, 16) returned -1 [111]")
          .DurationUs(52),
      Line("M 235959.999999 0000 INF: poll(0x1, 1, -1) returned 1 "
           "<12.000001>")
          .Clock(235959)
          .ClockUs(999999)
          .DurationUs(12000001),
      Line("M 000000.000000 0000 INF: close(3) returned 0 <0.000000>")
          .ClockUs(0)
          .DurationUs(0),
      Line("M 120000 0000 INF: close(3) returned 0 <999999999999.999999>")
          .DurationUs(999999999999999999u),
      // Module names with spaces before a microsecond clock.
      Line("MY PROG 140509.000001 0000 INF: socket(2, 1, 6) returned 5 "
           "<0.000003>")
          .Module("MY PROG")
          .ClockUs(1)
          .DurationUs(3),
      // Either form alone: banners and own records keep HHMMSS, and an
      // untimed call in a timed file has no duration.
      Line("M 140509.500000 0000 INF: started process 0x1A4 trace on "
           "12-07-2026 14:05:09 [4.0.4000]")
          .Kind(LineKind::TraceStart)
          .ClockUs(500000),
      Line("M 140509 0000 INF: close(3) returned 0 <0.000009>")
          .Kind(LineKind::Call)
          .Clock(140509)
          .Result("0")
          .DurationUs(9),
      // Only a call's line has a duration: an own record keeps its text.
      Line("M 140509.000001 0000 INF: waited <0.000009>")
          .Kind(LineKind::Other)
          .ClockUs(1)
          .Text("waited <0.000009>"),
      // Not a duration: the call's result is then unreadable.
      Line("M 140509 0000 INF: closesocket(3) returned 0 <0.00009>")
          .Fails(Fault::BadResult),
      Line("M 140509 0000 INF: closesocket(3) returned 0 <0.0000090>")
          .Fails(Fault::BadResult),
      Line("M 140509 0000 INF: closesocket(3) returned 0 <.000009>")
          .Fails(Fault::BadResult),
      Line(
          "M 140509 0000 INF: closesocket(3) returned 0 <1000000000000.000000>")
          .Fails(Fault::BadResult),
      // Without its space it is no duration: the text reads as a label.
      Line("M 140509 0000 INF: closesocket(3) returned 0<0.000009>")
          .Kind(LineKind::Call)
          .Result("0")
          .ResultLabel("0.000009"),
      Line("M 140509 0000 INF: closesocket(3) returned 0 <0.000009> ")
          .Fails(Fault::BadResult),
      Line("M 140509 0000 ERR: closesocket(3) returned -1 <0.000009> [9]")
          .Fails(Fault::BadResult),
      // The microseconds are six digits, or there are none.
      Line("M 140509.12345 0000 INF: x").Fails(Fault::BadClock),
      Line("M 140509.1234567 0000 INF: x").Fails(Fault::BadClock),
      Line("M 140509. 0000 INF: x").Fails(Fault::BadClock),
      Line("M 140509.12345a 0000 INF: x").Fails(Fault::BadClock),
      Line("M 240000.000000 0000 INF: x").Fails(Fault::BadClock),
      Line("M 140509.000000").Fails(Fault::BadClock),
      // A timed record cut short with the next one on its line.
      Line("APP 100000.000001 0000 INF: send(3, 0x1000, 5, 0) retAPP "
           "100001.000002 0000 ERR: connect(3, 1.2.3.4:80, 16) returned -1 "
           "[10061] <0.000001>")
          .FaultIs(Fault::Glued),
      Line("      0990  78 78 78 78 78 78 78 78:78 78 78 78 78 78 78 7FILL2 "
           "090913.000000 0000 INF: close(3) returned 0")
          .FaultIs(Fault::Glued),
  });
}

// A label after a socket number: the result keeps the number, the label
// apart; the arguments as written.
TEST(ParseCallResult, SocketLabels) {
  CheckRows({
      Info("accept(3<TCP:[0.0.0.0:8080]>, 127.0.0.1:40512, 0x7ffc10) "
           "returned 4<TCP:[127.0.0.1:8080->127.0.0.1:40512]>")
          .Kind(LineKind::Call)
          .Function("accept")
          .Args("3<TCP:[0.0.0.0:8080]>, 127.0.0.1:40512, 0x7ffc10")
          .Result("4")
          .ResultLabel("TCP:[127.0.0.1:8080->127.0.0.1:40512]"),
      Info("socket(10, 1, 6) returned 5<TCPv6:[[::1]:40000->[::1]:443]>")
          .Result("5")
          .ResultLabel("TCPv6:[[::1]:40000->[::1]:443]"),
      Info("socket(1, 1, 0) returned 8<UNIX:[/run/x.sock]>")
          .Result("8")
          .ResultLabel("UNIX:[/run/x.sock]"),
      Info("socket(2, 2, 0) returned 6<UDP>").Result("6").ResultLabel("UDP"),
      Line("M 140509.000001 0000 INF: close(9<TCP>) returned 0 <0.000002>")
          .Args("9<TCP>")
          .Result("0")
          .ResultLabel("")
          .ClockUs(1)
          .DurationUs(2),
      Info("send(3, 0x1, 5, 0) returned 5").Result("5").ResultLabel(""),
      // A name from the network may look like a label after a digit.
      Info("gethostbyname(\"a1<b>\") returned 1.2.3.4 (a1<b>)")
          .Kind(LineKind::Call)
          .Result("1.2.3.4 (a1<b>)")
          .ResultLabel(""),
      Info("getservbyname(\"x\", \"tcp\") returned 80 (svc2<x>)")
          .Kind(LineKind::Call)
          .Result("80 (svc2<x>)"),
      // A label cut short, or after no number, is no result.
      Info("socket(2, 1, 6) returned 4<TCP:[1.2.3.4:5>")
          .Fails(Fault::BadResult),
      Info("socket(2, 1, 6) returned 4<TCP").Fails(Fault::BadResult),
      Info("socket(2, 1, 6) returned 4<TCP>x").Fails(Fault::BadResult),
      Info("socket(2, 1, 6) returned NULL<TCP>").Fails(Fault::BadResult),
      Info("socket(2, 1, 6) returned 4<>").Fails(Fault::BadResult),
  });
}

// Every field of a line with timing and labels is the one of the same line
// without them.
TEST(ParseTextLine, TimingAndLabelsChangeNoOtherField) {
  const struct {
    const char *plain;
    const char *decorated;
  } rows[] = {
      {"CURL 140509 0250 INF: recv(5, 0x7ffd1000, 16384, 0) returned 120",
       "CURL 140509.123456 0250 INF: recv(5<TCP:[127.0.0.1:1->127.0.0.1:2]>, "
       "0x7ffd1000, 16384, 0) returned 120 <0.200431>"},
      {"CURL 140509 0000 ERR: connect(3, 127.0.0.1:1, 16) returned -1 [111]",
       "CURL 140509.000017 0000 ERR: connect(3<TCP>, 127.0.0.1:1, 16) "
       "returned -1 [111] <0.000052>"},
      {"S 140509 0000 INF: accept(3, 127.0.0.1:40512, 0x7ffc10) returned 4",
       "S 140509.000001 0000 INF: accept(3<TCP:[0.0.0.0:8080]>, "
       "127.0.0.1:40512, 0x7ffc10) returned 4<TCP:[127.0.0.1:8080->127.0.0."
       "1:40512]> <1.000000>"},
      {"S 140509 0000 WRN: recv(8, 0x1, 5, 0) returned -1 [11]",
       "S 140509.999999 0000 WRN: recv(8<UNIX:[/run/x, y]>, 0x1, 5, 0) "
       "returned -1 [11] <0.000001>"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.decorated);
    const ParsedLine a = ParseLine(r.plain);
    const ParsedLine b = ParseLine(r.decorated);
    ASSERT_EQ(a.kind, LineKind::Call);
    EXPECT_EQ(b.kind, a.kind);
    EXPECT_EQ(b.tag, a.tag);
    EXPECT_EQ(b.module, a.module);
    EXPECT_EQ(b.clock, a.clock);
    EXPECT_EQ(b.elapsed_ms, a.elapsed_ms);
    EXPECT_EQ(b.function, a.function);
    EXPECT_EQ(b.result, a.result);
    EXPECT_EQ(b.has_code, a.has_code);
    EXPECT_EQ(b.code, a.code);
    EXPECT_TRUE(b.has_clock_us && b.has_duration);
    EXPECT_FALSE(a.has_clock_us || a.has_duration);
    nqtrace::CallArgs got, want;
    ASSERT_TRUE(nqtrace::SplitArgs(a.args, want));
    ASSERT_TRUE(nqtrace::SplitArgs(b.args, got));
    ASSERT_EQ(got.count, want.count);
    for (std::size_t i = 0; i < got.count; ++i)
      EXPECT_EQ(got.items[i], want.items[i]) << i;
    EXPECT_FALSE(got.labels[0].empty());
  }
}

}  // namespace

// The process id of a per-process trace's name: digits after the last dot
// of the last path element, as netquill-run -ff writes them.
TEST(TraceNames, ProcessOfTraceName) {
  const struct {
    const char *name;
    std::uint32_t process;
  } rows[] = {
      {"app.log.4321", 4321},     {"/tmp/run.d/app.log.7", 7},
      {"C:\\run.5\\app.log", 0},  {"run.4321/app.log", 0},
      {"app.log.0123", 0},        {"app.log.", 0},
      {"app.log.12a", 0},         {"app.log.4294967295", 4294967295u},
      {"app.log.4294967296", 0},  {"app.log", 0},
      {"app.log.12345678901", 0}, {"", 0},
  };
  for (const auto &r : rows)
    EXPECT_EQ(nqtrace::ProcessOfTraceName(r.name), r.process) << r.name;
}
