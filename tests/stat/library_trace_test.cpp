// netquill-stat on traces that the library itself writes: whole, cut off
// in the middle of a line, and with garbage written over part of it.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "app.h"
#include "support/test_env.h"

namespace {

thread_local int t_code;

int NQ_CALL GetCode() { return t_code; }

void NQ_CALL SetCode(int) {}

class StatOnLibraryTrace : public nqtest::TraceTest {
 protected:
  void SetUp() override {
    TraceTest::SetUp();
    TraceErrorHooks hooks = {GetCode, SetCode};
    WSASetupTrace(&hooks);
    file_ = Path("app.trace");
  }

  void TearDown() override {
    TraceErrorHooks none = {nullptr, nullptr};
    WSASetupTrace(&none);
    TraceTest::TearDown();
  }

  // A small session: a refused connect, a would-block receive, data both
  // ways, a failed lookup, each with its elapsed time on the fake clock.
  void WriteSession() {
    ASSERT_EQ(WSAEnableTrace(file_.c_str(), TRACE_FLAG_DUMP), 1);
    char buf[64] = "GET / HTTP/1.0\r\n\r\n";
    nqtest::Fakes::tick += 250;
    t_code = 10061;
    TX_connect(-1, 3, nullptr, 16);
    nqtest::Fakes::tick += 40;
    t_code = 0;
    TX_connect(0, 3, nullptr, 16);
    TX_send(18, 3, buf, 18, 0);
    nqtest::Fakes::tick += 5;
    t_code = 10035;
    TX_recv(-1, 3, buf, 64, 0);
    t_code = 0;
    nqtest::Fakes::tick += 1200;
    TX_recv(40, 3, buf, 64, 0);
    t_code = 11001;
    TX_gethostbyname(nullptr, "nowhere.invalid");
    NetQuillWrite(TRACE_KIND_PLAIN, "app: done", 0);
    ASSERT_EQ(WSADisableTrace(), 1);
  }

  int Stat(const std::vector<std::string> &args, std::string *out,
           std::string *err) {
    std::ostringstream o, e;
    int status = nqstat::RunStat(args, nqtrace::OpenTrace, o, e);
    *out = o.str();
    *err = e.str();
    return status;
  }

  std::string file_;
};

TEST_F(StatOnLibraryTrace, WholeTraceIsCountedExactly) {
  WriteSession();
  std::string out, err;
  ASSERT_EQ(Stat({"--json", file_}, &out, &err), 0) << err;
  EXPECT_EQ(err, "");
  // Six calls: two connects (one refused), a send, two receives (one would
  // block), one failed lookup; 18 bytes out, 40 in; one custom record.
  EXPECT_NE(out.find("\"totals\": {\"calls\": 6, \"errors\": 1, "
                     "\"warnings\": 2, \"bytes_sent\": 18, "
                     "\"bytes_received\": 40, \"timed_calls\": 0, "
                     "\"time_us\": 0}"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\"trace_starts\": 1, \"trace_stops\": 1, "
                     "\"other\": 1, \"dump\": 5, \"malformed\": 0}"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("WSAECONNREFUSED"), std::string::npos);
  EXPECT_NE(out.find("WSAEWOULDBLOCK"), std::string::npos);
  EXPECT_NE(out.find("WSAHOST_NOT_FOUND"), std::string::npos);

  ASSERT_EQ(Stat({"--errors", file_}, &out, &err), 0);
  std::istringstream lines(out);
  std::string line;
  int failing = 0;
  while (std::getline(lines, line)) {
    ++failing;
    EXPECT_TRUE(line.find(" ERR: ") != std::string::npos ||
                line.find(" WRN: ") != std::string::npos)
        << line;
  }
  EXPECT_EQ(failing, 3);
}

TEST_F(StatOnLibraryTrace, CutAndCorruptedTracesAreReportedNotFatal) {
  WriteSession();
  std::string whole = nqtest::ReadFile(file_);
  // Cut in the middle of the last call line's text.
  size_t cut = whole.rfind("gethostbyname(") + 20;
  std::string cut_file = Path("cut.trace");
  {
    std::ofstream f(cut_file, std::ios::binary);
    f << whole.substr(0, cut);
  }
  // Garbage over the clock field of the second line.
  std::string bad = whole;
  size_t second = bad.find("\r\n") + 2;
  bad.replace(second + bad.substr(second).find(' ') + 1, 6, "\x01\xff?x\x1a!");
  std::string bad_file = Path("bad.trace");
  {
    std::ofstream f(bad_file, std::ios::binary);
    f << bad;
  }
  std::string out, err;
  EXPECT_EQ(Stat({"--json", cut_file, bad_file}, &out, &err), 0);
  EXPECT_NE(out.find("\"malformed\": 2"), std::string::npos) << out << err;
  EXPECT_NE(err.find("cut.trace:"), std::string::npos) << err;
  EXPECT_NE(err.find("bad.trace:2: malformed line"), std::string::npos) << err;
}

}  // namespace
