// Trace files that cannot be written, met through the hooks: every record
// is dropped with result 0 and one attempt, nothing is created or changed,
// the hook's result, the caller's error code and the system error state are
// what the socket call left, and the next record is tried afresh.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "netquill.h"
#include "platform/os.h"
#include "privilege.h"
#include "support/syserr.h"
#include "support/test_env.h"

using namespace nqtest;
namespace fs = std::filesystem;

namespace {

thread_local int t_code;      // the caller's socket error code
thread_local int t_restored;  // what the set-error callback handed back

int NQ_CALL GetCode() { return t_code; }
void NQ_CALL SetCode(int code) { t_restored = code; }

constexpr int kSystemError = 4242;  // what the socket call left in errno

struct sockaddr_in Peer() {
  struct sockaddr_in sin;
  memset(&sin, 0, sizeof sin);
  const unsigned char port[2] = {0, 80}, address[4] = {10, 1, 2, 3};
  memcpy(&sin.sin_port, port, 2);
  memcpy(&sin.sin_addr, address, 4);
  return sin;
}

// A failed connect and a send with its dump, as a traced program makes
// them; each hook must hand back its result, the code and the system error
// state untouched. Returns a description of the first fault, or "".
std::string TracedCalls() {
  struct sockaddr_in sin = Peer();
  char data[17] = "sixteen bytes ok";
  t_code = 10061;
  t_restored = 0;
  nqtest::SetSystemError(kSystemError);
  if (TX_connect(-1, 3, reinterpret_cast<struct sockaddr *>(&sin), 16) != -1) {
    return "connect's result changed";
  }
  if (!nqtest::SystemErrorIs(kSystemError)) return "connect: system error";
  if (t_restored != 10061) return "connect: code not handed back";
  t_code = 0;
  t_restored = -1;
  nqtest::SetSystemError(kSystemError + 1);
  if (TX_send(16, 3, data, 16, 0) != 16) return "send's result changed";
  if (!nqtest::SystemErrorIs(kSystemError + 1)) return "send: system error";
  if (t_restored != 0) return "send: code not handed back";
  return "";
}

std::vector<std::string> Listing(const std::string &dir) {
  std::vector<std::string> names;
  for (const auto &entry : fs::recursive_directory_iterator(dir)) {
    names.push_back(entry.path().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class Faults : public TraceTest {
 protected:
  void SetUp() override {
    TraceTest::SetUp();
    TraceErrorHooks hooks = {GetCode, SetCode};
    WSASetupTrace(&hooks);
  }

  void TearDown() override {
    TraceErrorHooks none = {nullptr, nullptr};
    WSASetupTrace(&none);
    TraceTest::TearDown();
  }

  // With the trace on path: each record is tried once and dropped, and
  // the directory is as it was.
  void ExpectEveryRecordDropped(const std::string &path) {
    std::vector<std::string> before = Listing(dir_);
    Fakes::appends = 0;
    Fakes::tick = 1100;
    nqtest::SetSystemError(kSystemError);
    EXPECT_EQ(NetQuillWrite(0, "plain", 0), 0);
    EXPECT_EQ(NetQuillWrite(TRACE_KIND_DUMP, "abc", 3), 0);
    EXPECT_TRUE(nqtest::SystemErrorIs(kSystemError));
    EXPECT_EQ(TracedCalls(), "");
    // Two writes, the connect line, the send line with its dump.
    EXPECT_EQ(Fakes::appends.load(), 4);
    EXPECT_EQ(Listing(dir_), before) << path;
  }

  // After the cure, the next records are written whole, after whatever
  // torn bytes the system kept; the elapsed time counts from the enable,
  // as no failed record moved it.
  void ExpectNextRecordsWritten(const std::string &path,
                                const std::string &torn = "") {
    Fakes::tick = 1300;
    EXPECT_EQ(TracedCalls(), "");
    auto lines = Lines(path);
    ASSERT_GE(lines.size(), 3u);
    lines.erase(lines.begin(), lines.end() - 3);
    EXPECT_EQ(lines[0], torn +
                            "MYAPP 140509 0300 ERR: connect(3, 10.1.2.3:80, "
                            "16) returned -1 [10061]");
    EXPECT_EQ(lines[1].substr(0, 23), "MYAPP 140509 0000 INF: ");
    EXPECT_NE(lines[1].find(", 16, 0) returned 16"), std::string::npos);
    EXPECT_EQ(lines[2],
              "      0000  73 69 78 74 65 65 6E 20:62 79 74 65 73 "
              "20 6F 6B  sixteen bytes ok");
  }
};

TEST_F(Faults, UnwritablePathsDropEachRecordUntilCured) {
  struct Case {
    const char *what;
    std::string path;
    std::function<void()> make;  // sets the fault up
    std::function<void()> cure;  // takes it away again
  };
  const std::string missing = Path("missing");
  const std::string folder = Path("folder");
  const Case cases[] = {
      {"a directory that does not exist",
       missing + nq::kPathSeparator + "t.log", [] {},
       [&] { fs::create_directory(missing); }},
      {"a path that is a directory", folder,
       [&] { fs::create_directory(folder); }, [&] { fs::remove(folder); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Fakes::tick = 1000;
    c.make();
    ASSERT_EQ(WSAEnableTrace(c.path.c_str(), TRACE_FLAG_DUMP), 1);
    ExpectEveryRecordDropped(c.path);
    c.cure();
    ExpectNextRecordsWritten(c.path);
    ASSERT_EQ(WSADisableTrace(), 1);
  }
}

// The system takes none of a record (a full disk) or only part of it (a
// short write): the record is dropped once, with no retry and no repair,
// and the next one is appended whole after whatever the system kept.
TEST_F(Faults, FullDiskAndShortWrites) {
  static int s_cut;  // bytes a short write keeps; -1 for none
  nq::g_os.append = [](const char *path, const void *data, size_t size) {
    Fakes::appends++;
    if (s_cut > 0) {
      size_t kept = size < static_cast<size_t>(s_cut) ? size : s_cut;
      nq::NativeOsServices().append(path, data, kept);
    }
    return s_cut == 0 ? nq::NativeOsServices().append(path, data, size) : 0;
  };
  for (int cut : {-1, 7}) {
    SCOPED_TRACE(cut);
    std::string file = Path("short" + std::to_string(cut) + ".log");
    s_cut = 0;
    Fakes::tick = 1000;
    ASSERT_EQ(WSAEnableTrace(file.c_str(), TRACE_FLAG_DUMP), 1);
    const std::string banner = Read(file);
    s_cut = cut;
    Fakes::appends = 0;
    Fakes::tick = 1100;
    EXPECT_EQ(TracedCalls(), "");
    EXPECT_EQ(NetQuillWrite(0, "dropped", 0), 0);
    EXPECT_EQ(Fakes::appends.load(), 3);
    s_cut = 0;
    // A short write kept the first 7 bytes of each of the three records
    // (the send line and its dump are one).
    ExpectNextRecordsWritten(file, cut > 0 ? "MYAPP 1MYAPP 1MYAPP 1" : "");
    EXPECT_EQ(Read(file).substr(0, banner.size()), banner);
    ASSERT_EQ(WSADisableTrace(), 1);
  }
}

// A path of 255 characters is the longest the context holds: it is a real
// file, written as it is; a longer one is cut to its first 255 characters
// and lands there too.
TEST_F(Faults, PathOfExactly255Characters) {
  std::string base = Path("");
  std::string path = base + std::string(255 - base.size() - 4, 'n') + ".log";
  ASSERT_EQ(path.size(), 255u);
  ASSERT_EQ(WSAEnableTrace(path.c_str(), 0), 1);
  char copy[300];
  EXPECT_EQ(WSAGetTraceFile(copy, sizeof copy), 255);
  EXPECT_EQ(TracedCalls(), "");
  ASSERT_EQ(WSADisableTrace(), 1);
  const std::string longer = path + std::string(45, 'x');  // 300 characters
  ASSERT_EQ(WSAEnableTrace(longer.c_str(), 0), 1);
  EXPECT_EQ(WSAGetTraceFile(copy, sizeof copy), 255);
  EXPECT_EQ(path, copy);
  EXPECT_EQ(NetQuillWrite(0, "cut to 255", 0), 1);
  ASSERT_EQ(WSADisableTrace(), 1);
  EXPECT_FALSE(Exists(path + "x"));
  auto lines = Lines(path);
  ASSERT_EQ(lines.size(), 7u);  // banners and two calls; banners and a note
  EXPECT_EQ(TagAndText(lines[1]),
            "ERR: connect(3, 10.1.2.3:80, 16) returned -1 [10061]");
  EXPECT_EQ(TagAndText(lines[5]), "INF: cut to 255");
}

// What TraceToReadOnly returns when the system lets this user write to the
// read-only file all the same (Wine running as root does).
constexpr int kReadOnlyIgnored = 50;

// Runs where file permissions are obeyed (see RunUnprivileged): the trace
// is on a read-only file, and nothing the library does may show.
int TraceToReadOnly(const std::string &path) {
  if (std::ofstream(path, std::ios::app).is_open()) return kReadOnlyIgnored;
  if (WSAEnableTrace(path.c_str(), TRACE_FLAG_DUMP) != 1) return 1;
  nqtest::SetSystemError(kSystemError);
  if (NetQuillWrite(0, "refused", 0) != 0) return 2;
  if (!nqtest::SystemErrorIs(kSystemError)) return 3;
  if (!TracedCalls().empty()) return 4;
  if (WSADisableTrace() != 1) return 5;
  return 0;
}

TEST_F(Faults, ReadOnlyFileIsLeftAsItWas) {
  std::string path = Path("read-only.log");
  std::ofstream(path, std::ios::binary) << "kept\r\n";
  fs::permissions(path, fs::perms::owner_read | fs::perms::group_read |
                            fs::perms::others_read);
  int result = nqstress::RunUnprivileged(TraceToReadOnly, path);
  fs::permissions(path, fs::perms::owner_all);
  if (result == nqstress::kCannotDropPrivileges) {
    GTEST_SKIP() << "runs as root and cannot become an unprivileged user, "
                    "and root writes to read-only files";
  }
  if (result == kReadOnlyIgnored) {
    GTEST_SKIP() << "this system lets the user write to a read-only file "
                    "(Wine running as root does), so there is no fault to meet";
  }
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Read(path), "kept\r\n");
}

// A relative path is opened against the current directory at each record;
// when that directory has been removed, records are dropped until the
// program moves somewhere that exists.
TEST_F(Faults, RelativePathInARemovedCurrentDirectory) {
  struct Restore {
    fs::path saved = fs::current_path();
    ~Restore() { fs::current_path(saved); }
  } restore;
  const std::string gone = Path("gone");
  const std::string back = Path("back");
  fs::create_directory(gone);
  fs::create_directory(back);
  fs::current_path(gone);
  ASSERT_EQ(WSAEnableTrace("rel.log", TRACE_FLAG_DUMP), 1);
  std::error_code ec;
  fs::remove_all(gone, ec);
  if (ec || Exists(gone)) {
    GTEST_SKIP() << "the system keeps a process's current directory from "
                    "being removed";
  }
  ExpectEveryRecordDropped("rel.log");
  fs::current_path(back);
  ExpectNextRecordsWritten("rel.log");
  ASSERT_EQ(WSADisableTrace(), 1);
}

}  // namespace
