// The record writer: admission, severity, the text and dump layouts, and
// what happens when the file cannot be written.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/context.h"
#include "core/error_bridge.h"
#include "output/call_views.h"
#include "output/dump.h"
#include "output/writer.h"
#include "support/test_env.h"

using namespace nqtest;

namespace {

int g_code;  // what the caller's get-error reports
int g_restored;

int NQ_CALL GetCode() { return g_code; }
void NQ_CALL SetCode(int code) { g_restored = code; }

// Appends the first half of the next records only, as a full disk does.
int g_cut_appends;

int CuttingAppend(const char *path, const void *data, size_t size) {
  if (g_cut_appends-- <= 0)
    return nq::NativeOsServices().append(path, data, size);
  return nq::NativeOsServices().append(path, data, size / 2) ? -1 : 0;
}

class Writer : public TraceTest {
 protected:
  void SetUp() override {
    TraceTest::SetUp();
    TraceErrorHooks hooks = {GetCode, SetCode};
    WSASetupTrace(&hooks);
    g_code = 0;
    file_ = Path("trace.log");
  }

  void TearDown() override {
    TraceErrorHooks none = {nullptr, nullptr};
    WSASetupTrace(&none);
    TraceTest::TearDown();
  }

  // One call record as a hook writes it: capture, line, restore.
  void Call(bool failed, int code, const char *text) {
    g_code = code;
    nq::TraceContext *ctx = nq::CaptureCallError(failed);
    nq::TraceFormat(TRACE_KIND_CALL, "%s", text);
    nq::RestoreCallError(ctx);
  }

  std::vector<std::string> Records() {
    std::vector<std::string> out;
    for (const std::string &l : Lines(file_)) out.push_back(TagAndText(l));
    return out;
  }

  std::string file_;
};

TEST_F(Writer, FailedCallLineByteForByte) {
  ASSERT_EQ(WSAEnableTrace(file_.c_str(), 0), 1);
  Fakes::tick = 1250;
  Call(true, 10061, "connect(3, 10.1.2.3:80, 16) returned -1");
  EXPECT_EQ(g_restored, 10061);
  std::string text = Read(file_);
  std::string second = text.substr(text.find("\r\n") + 2);
  EXPECT_EQ(second,
            "MYAPP 140509 0250 ERR: connect(3, 10.1.2.3:80, 16) returned -1 "
            "[10061]\r\n");
  EXPECT_EQ(Lines(file_)[0],
            "MYAPP 140509 0000 " + nqtest::StartBanner(nq::g_os.thread_id()));
}

// What a launcher's -y says of sockets 7 and 8; nothing of any other.
size_t TwoSockets(intptr_t socket, char *out) {
  const char *label = socket == 7   ? "<TCP:[1.2.3.4:5->6.7.8.9:10]>"
                      : socket == 8 ? "<UDPv6:[[::1]:53]>"
                                    : "";
  strcpy(out, label);
  return strlen(label);
}

// A launcher's notes on a call (-T, -y) on its line, and only there: the
// start in place of the clock, the duration last, the labels after the
// first argument and a new socket; every other line as it was.
TEST_F(Writer, CallNotesTimesAndLabels) {
  struct {
    bool timed;
    uint32_t second, micro, took_seconds, took_micros;
    bool labelled;
    int code;  // nonzero: the call failed with it
    const char *text;
    const char *line;  // after the module name
  } cases[] = {
      {true, 0, 0, 0, 0, false, 0, "recv(7, 0x10, 16, 0) returned 5",
       "000000.000000 0250 INF: recv(7, 0x10, 16, 0) returned 5 <0.000000>"},
      {true, 86399, 999999, 12, 1, false, 10060, "recv(7) returned -1",
       "235959.999999 0250 ERR: recv(7) returned -1 [10060] <12.000001>"},
      {true, 50709, 42, 0, 200431, true, 0, "send(7, 0x1, 2, 0) returned 2",
       "140509.000042 0250 INF: send(7<TCP:[1.2.3.4:5->6.7.8.9:10]>, 0x1, 2, "
       "0) returned 2 <0.200431>"},
      {false, 0, 0, 0, 0, true, 0, "accept(8, NULL, 0x0) returned 7",
       "140509 0250 INF: accept(8<UDPv6:[[::1]:53]>, NULL, 0x0) returned "
       "7<TCP:[1.2.3.4:5->6.7.8.9:10]>"},
      {false, 0, 0, 0, 0, true, 0, "socket(2, 1, 6) returned 8",
       "140509 0250 INF: socket(2, 1, 6) returned 8<UDPv6:[[::1]:53]>"},
      {false, 0, 0, 0, 0, true, 0, "closesocket(7)",
       "140509 0250 INF: closesocket(7<TCP:[1.2.3.4:5->6.7.8.9:10]>)"},
      // Counts and numbers that are no sockets, and other sockets' numbers.
      {false, 0, 0, 0, 0, true, 0, "select(7, 0x1, 0x0, 0x0, 0x0) returned 1",
       "140509 0250 INF: select(7, 0x1, 0x0, 0x0, 0x0) returned 1"},
      {false, 0, 0, 0, 0, true, 0, "getprotobynumber(7) returned 7 (x)",
       "140509 0250 INF: getprotobynumber(7) returned 7 (x)"},
      {false, 0, 0, 0, 0, true, 0, "recv(77, 0x7, 7, 0) returned 7",
       "140509 0250 INF: recv(77, 0x7, 7, 0) returned 7"},
      {false, 0, 0, 0, 0, true, 0, "send(-7, 0x1) returned 8",
       "140509 0250 INF: send(-7, 0x1) returned 8"},
      {false, 0, 0, 0, 0, false, 0, "accept(8, NULL, 0x0) returned 7",
       "140509 0250 INF: accept(8, NULL, 0x0) returned 7"},
  };
  ASSERT_EQ(WSAEnableTrace(file_.c_str(), 0), 1);
  nq::ShowCallViews();
  size_t n = 1;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    Fakes::tick += 250;
    nq::g_socket_label = c.labelled ? TwoSockets : nullptr;
    if (c.timed)
      nq::NoteCallTimes(c.second, c.micro, c.took_seconds, c.took_micros);
    g_code = c.code;
    nq::TraceContext *ctx = nq::CaptureCallError(c.code != 0);
    nq::Admission a = nq::AdmitRecord(ctx, TRACE_KIND_CALL, c.code);
    nq::TraceCall(ctx, a, nullptr, "%s", c.text);
    // The notes went with the line: the next one of the thread is plain.
    Fakes::tick += 250;
    nq::TraceCall(ctx, a, nullptr, "%s", "listen(7, 1) returned 0");
    nq::RestoreCallError(ctx);
    std::vector<std::string> lines = Lines(file_);
    ASSERT_EQ(lines.size(), n + 2);
    EXPECT_EQ(lines[n], std::string("MYAPP ") + c.line);
    EXPECT_EQ(lines[n + 1].substr(0, 18), "MYAPP 140509 0250 ");
    EXPECT_EQ(lines[n + 1].find(" <"), std::string::npos);
    n += 2;
  }
  nq::g_socket_label = nullptr;
  nq::g_call_line_views = nullptr;
}

TEST_F(Writer, SeverityFollowsTheErrorCode) {
  ASSERT_EQ(WSAEnableTrace(file_.c_str(), 0), 1);
  Call(true, 10035, "a");
  Call(true, 11000, "b");
  Call(true, 11001, "c");
  Call(true, 11004, "d");
  Call(true, -5, "e");
  Call(false, 10035, "f");
  auto r = Records();
  ASSERT_EQ(r.size(), 7u);
  EXPECT_EQ(r[1], "WRN: a [10035]");
  EXPECT_EQ(r[2], "ERR: b [11000]");
  EXPECT_EQ(r[3], "WRN: c [11001]");
  EXPECT_EQ(r[4], "WRN: d [11004]");
  EXPECT_EQ(r[5], "ERR: e [-5]");
  EXPECT_EQ(r[6], "INF: f");
}

// What each flag value lets through, for a successful call, a failed call,
// a warning, the banners and a dump.
TEST_F(Writer, FilterTableForEveryFlagValue) {
  struct Row {
    uint32_t flags;
    const char *ok, *failed, *warning;
    bool banners, dumps;
  };
  const Row rows[] = {
      {0, "INF: ok", "ERR: bad [10061]", "WRN: slow [10035]", true, false},
      {1, nullptr, "ERR: bad [10061]", nullptr, false, false},
      {2, nullptr, "ERR: bad [10061]", "WRN: slow [10035]", false, false},
      {3, nullptr, "ERR: bad [10061]", "WRN: slow [10035]", false, false},
      {4, "INF: ok", "ERR: bad [10061]", "WRN: slow [10035]", true, true},
      {5, nullptr, "ERR: bad [10061]", nullptr, false, true},
      {6, nullptr, "ERR: bad [10061]", "WRN: slow [10035]", false, true},
      {7, nullptr, "ERR: bad [10061]", "WRN: slow [10035]", false, true},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.flags);
    file_ = Path("filter" + std::to_string(row.flags) + ".log");
    ASSERT_EQ(WSAEnableTrace(file_.c_str(), row.flags), 1);
    Call(false, 0, "ok");
    Call(true, 10061, "bad");
    Call(true, 10035, "slow");
    EXPECT_EQ(NetQuillWrite(TRACE_KIND_DUMP, "XY", 2), row.dumps ? 1 : 0);
    ASSERT_EQ(WSADisableTrace(), 1);
    std::vector<std::string> expected;
    if (row.banners)
      expected.push_back(nqtest::StartBanner(nq::g_os.thread_id()));
    for (const char *line : {row.ok, row.failed, row.warning}) {
      if (line) expected.push_back(line);
    }
    std::vector<std::string> lines = Lines(file_);
    std::vector<std::string> got;
    bool saw_dump = false;
    for (const std::string &l : lines) {
      if (l[0] == ' ') {
        saw_dump = true;
        continue;
      }
      got.push_back(TagAndText(l));
    }
    if (row.banners) {
      ASSERT_FALSE(got.empty());
      EXPECT_EQ(got.back().substr(0, 23), "INF: stopped process 0x");
      got.pop_back();
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(saw_dump, row.dumps);
  }
}

TEST_F(Writer, CallKindBitInFlagsPassesEveryCallButNotBanners) {
  ASSERT_EQ(WSAEnableTrace(file_.c_str(), 0x80000001u), 1);
  Call(false, 0, "ok");
  Call(true, 10035, "slow");  // a warning without flag 2 is not failed
  ASSERT_EQ(WSADisableTrace(), 1);
  EXPECT_EQ(Records(),
            (std::vector<std::string>{"INF: ok", "WRN: slow [10035]"}));
}

TEST_F(Writer, DumpOfHello) {
  ASSERT_EQ(WSAEnableTrace(file_.c_str(), TRACE_FLAG_DUMP), 1);
  EXPECT_EQ(NetQuillWrite(TRACE_KIND_DUMP, "Hello", 5), 1);
  auto lines = Lines(file_);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1],
            "      0000  48 65 6C 6C 6F " + std::string(33, ' ') + " Hello");
}

// Full dump lines come from SSSE3 shuffles where the processor has them and
// from tables elsewhere: each dump test runs on both paths, against bytes
// laid out here, not against the other path.
class WriterDump : public Writer, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    Writer::SetUp();
    nq::UseTableDump(GetParam());
  }

  void TearDown() override {
    nq::UseTableDump(false);
    Writer::TearDown();
  }
};

INSTANTIATE_TEST_SUITE_P(Paths, WriterDump, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                           return info.param ? "Tables" : "Processor";
                         });

// One dump line as the layout describes it, written out plainly: offset of
// at least four hex digits, 16 cells with a colon after the eighth, the
// characters from 0x20 to 0x7E as they are and '.' for the rest.
std::string DumpLine(size_t indent, uint32_t offset, const unsigned char *b,
                     size_t n) {
  char text[16];
  snprintf(text, sizeof text, "%04X  ", offset);
  std::string line = std::string(indent, ' ') + text;
  for (size_t j = 0; j < 16; ++j) {
    if (j >= n) {
      line += "   ";
      continue;
    }
    snprintf(text, sizeof text, "%02X%c", b[j], j == 7 ? ':' : ' ');
    line += text;
  }
  line += ' ';
  for (size_t j = 0; j < n; ++j) {
    line += b[j] >= 0x20 && b[j] <= 0x7E ? static_cast<char>(b[j]) : '.';
  }
  return line;
}

TEST_P(WriterDump, EveryByteValueInEveryColumn) {
  ASSERT_EQ(WSAEnableTrace(file_.c_str(), TRACE_FLAG_DUMP | 1), 1);
  size_t indent = strlen(nq::FindContext()->module_name) + 1;
  // Each byte value once in each of the 16 columns of a full line, then a
  // short last line.
  std::vector<unsigned char> bytes;
  for (int shift = 0; shift < 16; ++shift) {
    for (int b = 0; b < 256; ++b) bytes.push_back((b + shift * 17) & 0xFF);
  }
  bytes.resize(bytes.size() + 9, 0xA5);
  size_t before = Lines(file_).size();
  EXPECT_EQ(NetQuillWrite(TRACE_KIND_DUMP, bytes.data(),
                          static_cast<uint32_t>(bytes.size())),
            1);
  std::vector<std::string> lines = Lines(file_);
  ASSERT_EQ(lines.size(), before + 257);
  for (size_t at = 0; at < bytes.size(); at += 16) {
    size_t n = bytes.size() - at < 16 ? bytes.size() - at : 16;
    std::string want =
        DumpLine(indent, static_cast<uint32_t>(at), bytes.data() + at, n);
    // The first wrong line says enough.
    ASSERT_EQ(lines[before + at / 16], want) << "bytes from " << at;
  }
}

TEST_P(WriterDump, DumpLinesAndOffsets) {
  ASSERT_EQ(WSAEnableTrace(file_.c_str(), TRACE_FLAG_DUMP | 1), 1);
  unsigned char bytes[20];
  for (int i = 0; i < 20; ++i) bytes[i] = static_cast<unsigned char>(i);
  EXPECT_EQ(NetQuillWrite(TRACE_KIND_DUMP, bytes, 20), 1);
  auto lines = Lines(file_);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0],
            "      0000  00 01 02 03 04 05 06 07:08 09 0A 0B 0C 0D 0E 0F "
            " ................");
  EXPECT_EQ(lines[1],
            "      0010  10 11 12 13 " + std::string(36, ' ') + " ....");
  EXPECT_EQ(lines[0].size(), 6u + 71u);
  // The printable range is 0x20 to 0x7E exactly.
  const unsigned char edge[4] = {0x1F, 0x20, 0x7E, 0x7F};
  EXPECT_EQ(NetQuillWrite(TRACE_KIND_DUMP, edge, 4), 1);
  EXPECT_EQ(Lines(file_)[2].substr(6 + 6 + 48 + 1), ". ~.");
}

TEST_P(WriterDump, DumpPastSixtyFourKiBWidensTheOffset) {
  ASSERT_EQ(WSAEnableTrace(file_.c_str(), TRACE_FLAG_DUMP | 1), 1);
  std::string data(65536 + 40, 'A');
  Fakes::appends = 0;
  EXPECT_EQ(NetQuillWrite(TRACE_KIND_DUMP, data.data(),
                          static_cast<uint32_t>(data.size())),
            1);
  EXPECT_EQ(Fakes::appends.load(), 1);  // up to 16 MiB of text per append
  auto lines = Lines(file_);
  ASSERT_EQ(lines.size(), 4096u + 3u);
  EXPECT_EQ(lines[4095].substr(0, 12), "      FFF0  ");
  EXPECT_EQ(lines[4096].substr(0, 13), "      10000  ");
  EXPECT_EQ(lines[4096].size(), lines[4095].size() + 1);
  EXPECT_EQ(lines[4098].substr(0, 13), "      10020  ");
  // A short last line keeps its character column where a full one has it.
  EXPECT_EQ(lines[4098].size(), 6u + 7u + 48u + 1u + 8u);
}

TEST_F(Writer, EmptyDumpCreatesTheFileAndWritesNothing) {
  ASSERT_EQ(WSAEnableTrace(file_.c_str(), TRACE_FLAG_DUMP | 1), 1);
  ASSERT_FALSE(Exists(file_));
  EXPECT_EQ(NetQuillWrite(TRACE_KIND_DUMP, "", 0), 1);
  EXPECT_TRUE(Exists(file_));
  EXPECT_EQ(Read(file_), "");
}

TEST_F(Writer, TextLengthsAndLineFeeds) {
  ASSERT_EQ(WSAEnableTrace(file_.c_str(), 0), 1);
  EXPECT_EQ(NetQuillWrite(0, "abcdef", 3), 1);
  EXPECT_EQ(NetQuillWrite(0, "whole text", 0), 1);
  EXPECT_EQ(NetQuillWrite(0, "two\nlines", 0), 1);
  EXPECT_EQ(NetQuillWrite(0, nullptr, 0), 0);
  std::string text = Read(file_);
  EXPECT_NE(text.find("INF: abc\r\n"), std::string::npos);
  EXPECT_NE(text.find("INF: whole text\r\n"), std::string::npos);
  EXPECT_NE(text.find("INF: two\r\nlines\r\n"), std::string::npos);
}

TEST_F(Writer, LongCallerTextIsWrittenWholeInOneAppend) {
  ASSERT_EQ(WSAEnableTrace(file_.c_str(), 0), 1);
  std::string big(100000, 'x');
  big[50000] = '\n';
  Fakes::appends = 0;
  EXPECT_EQ(NetQuillWrite(0, big.c_str(), 0), 1);
  EXPECT_EQ(Fakes::appends.load(), 1);
  std::string expected = big.substr(0, 50000) + "\r\n" + big.substr(50001);
  EXPECT_NE(Read(file_).find("INF: " + expected + "\r\n"), std::string::npos);
}

TEST_F(Writer, TraceFormatCutsAt1023Characters) {
  ASSERT_EQ(WSAEnableTrace(file_.c_str(), 0), 1);
  std::string name(3000, 'n');
  nq::TraceFormat(TRACE_KIND_CALL, "gethostbyname(\"%s\") %s", name.c_str(),
                  "returned NULL");
  auto r = Records();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1], "INF: gethostbyname(\"" + name.substr(0, 1023 - 15));
  // Through a pointer, so the compiler's format checks leave the empty and
  // the null format alone: they are the point of the test.
  void (*trace_format)(uint32_t, const char *, ...) = nq::TraceFormat;
  trace_format(0, nullptr);
  trace_format(0, "");
  EXPECT_EQ(Records().size(), 2u);
}

TEST_F(Writer, TraceFormatWithTheDumpBitWritesText) {
  ASSERT_EQ(WSAEnableTrace(file_.c_str(), 0), 1);
  nq::TraceFormat(TRACE_KIND_DUMP, "as text %d", 7);
  EXPECT_EQ(Records().back(), "INF: as text 7");
}

TEST_F(Writer, ElapsedTimeAcrossATickWrapAndLongGaps) {
  Fakes::tick = 0xFFFFFFFDu;
  ASSERT_EQ(WSAEnableTrace(file_.c_str(), 0), 1);
  Fakes::tick = 2;
  EXPECT_EQ(NetQuillWrite(0, "after wrap", 0), 1);
  Fakes::tick = 2 + 123456;
  EXPECT_EQ(NetQuillWrite(0, "later", 0), 1);
  Fakes::tick = 2 + 123456 + 3000000000u;
  EXPECT_EQ(NetQuillWrite(0, "much later", 0), 1);
  // A dump neither reads nor moves the last tick.
  WSASetTraceFlags(TRACE_FLAG_DUMP);
  Fakes::tick = 2 + 123456 + 3000000000u + 7;
  EXPECT_EQ(NetQuillWrite(TRACE_KIND_DUMP, "z", 1), 1);
  EXPECT_EQ(NetQuillWrite(0, "next", 0), 1);
  auto lines = Lines(file_);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[1], "MYAPP 140509 0005 INF: after wrap");
  EXPECT_EQ(lines[2], "MYAPP 140509 123456 INF: later");
  EXPECT_EQ(lines[3], "MYAPP 140509 3000000000 INF: much later");
  EXPECT_EQ(lines[5], "MYAPP 140509 0007 INF: next");
}

TEST_F(Writer, NoContextWritesNothingEvenWhileOthersTrace) {
  EXPECT_EQ(NetQuillWrite(0, "nobody", 0), 0);
  std::atomic<int> stage{0};
  std::thread other([&] {
    WSAEnableTrace(Path("other.log").c_str(), 0);
    stage = 1;
    while (stage.load() != 2) std::this_thread::yield();
    WSADisableTrace();
  });
  while (stage.load() != 1) std::this_thread::yield();
  EXPECT_EQ(WSAGetTraceUsage(), 1);
  EXPECT_EQ(NetQuillWrite(0, "still nobody", 0), 0);
  stage = 2;
  other.join();
  EXPECT_EQ(Read(Path("other.log")).find("nobody"), std::string::npos);
}

TEST_F(Writer, FailedAppendReturnsZeroAndKeepsTheErrorCode) {
  ASSERT_EQ(WSAEnableTrace(file_.c_str(), 0), 1);
  Fakes::fail_appends = 1;
  g_restored = 0;
  g_code = 10054;
  nq::TraceContext *ctx = nq::CaptureCallError(1);
  EXPECT_EQ(NetQuillWrite(TRACE_KIND_CALL, "dropped", 0), 0);
  nq::RestoreCallError(ctx);
  EXPECT_EQ(g_restored, 10054);
  EXPECT_EQ(NetQuillWrite(0, "next", 0), 1);
  auto r = Records();
  EXPECT_EQ(r.back(), "INF: next");
  EXPECT_EQ(r.size(), 2u);
}

TEST_F(Writer, RelativePathFollowsTheCurrentDirectory) {
  namespace fs = std::filesystem;
  fs::path saved = fs::current_path();
  fs::create_directory(Path("a"));
  fs::create_directory(Path("b"));
  fs::current_path(Path("a"));
  ASSERT_EQ(WSAEnableTrace("rel.log", 1), 1);
  EXPECT_EQ(NetQuillWrite(1, "first", 0), 1);
  fs::current_path(Path("b"));
  EXPECT_EQ(NetQuillWrite(1, "second", 0), 1);
  fs::current_path(saved);
  EXPECT_NE(Read(Path("a") + nq::kPathSeparator + "rel.log").find("first"),
            std::string::npos);
  EXPECT_NE(Read(Path("b") + nq::kPathSeparator + "rel.log").find("second"),
            std::string::npos);
}

TEST_F(Writer, EmptyPathStopsEveryRecord) {
  ASSERT_EQ(WSAEnableTrace(file_.c_str(), 0), 1);
  nq::FindContext()->path[0] = '\0';
  Fakes::appends = 0;
  EXPECT_EQ(NetQuillWrite(0, "x", 0), 0);
  EXPECT_EQ(Fakes::appends.load(), 0);
}

}  // namespace

// After a record went out in part, the next one starts a line of its own.
TEST_F(Writer, RecordAfterAPartOfOneStartsItsOwnLine) {
  ASSERT_EQ(WSAEnableTrace(file_.c_str(), 0), 1);
  nq::g_os.append = CuttingAppend;
  g_cut_appends = 1;
  Call(false, 0, "cut in half");
  Call(false, 0, "whole");
  auto lines = Lines(file_);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "MYAPP 140509 0000 ");
  EXPECT_EQ(TagAndText(lines[2]), "INF: whole");
}
