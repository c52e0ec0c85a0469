// Callers that pass too little, or too much: short addresses, nesting
// without end, a missing record for the error bridge.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "core/context.h"
#include "hooks/formatters.h"
#include "support/guard_page.h"
#include "support/test_env.h"

using namespace nqtest;

namespace {

thread_local int t_code;

int NQ_CALL GetCode() { return t_code; }

void NQ_CALL SetCode(int code) { t_code = code; }

class Careless : public TraceTest {
 protected:
  void SetUp() override {
    TraceTest::SetUp();
    TraceErrorHooks hooks = {GetCode, SetCode};
    WSASetupTrace(&hooks);
    t_code = 10014;  // WSAEFAULT: what a short address gets
    file_ = Path("careless.log");
    ASSERT_EQ(WSAEnableTrace(file_.c_str(), 0), 1);
  }

  void TearDown() override {
    TraceErrorHooks none = {nullptr, nullptr};
    WSASetupTrace(&none);
    TraceTest::TearDown();
  }

  // The text records after the start banner, tag and all.
  std::vector<std::string> Records() {
    std::vector<std::string> out;
    auto lines = Lines(file_);
    for (size_t i = 1; i < lines.size(); ++i) {
      out.push_back(TagAndText(lines[i]));
    }
    return out;
  }

  std::string file_;
};

// A socket address cut short at the end of readable memory: 8 bytes hold
// family, port and address; any fewer must not be read at all.
TEST_F(Careless, ShortSocketAddressesAreNotRead) {
  // IPv4 by their family, which every build reads as one.
  GuardedBytes two(2);
  two.data()[0] = AF_INET;
  auto *sa2 = reinterpret_cast<const struct sockaddr *>(two.data());
  GuardedBytes seven(7);
  seven.data()[0] = AF_INET;
  auto *sa7 = reinterpret_cast<const struct sockaddr *>(seven.data());
  GuardedBytes eight(8);
  const unsigned char full[8] = {2, 0, 0, 80, 10, 1, 2, 3};
  memcpy(eight.data(), full, 8);
  auto *sa8 = reinterpret_cast<const struct sockaddr *>(eight.data());
  char data[4] = "abc";

  EXPECT_EQ(TX_connect(-1, 3, sa2, 2), -1);
  EXPECT_EQ(TX_bind(-1, 4, sa7, 7), -1);
  EXPECT_EQ(TX_sendto(-1, 5, data, 3, 0, sa2, 0), -1);
  EXPECT_EQ(TX_connect(-1, 6, sa2, static_cast<NQ_SOCKLEN>(-1)), -1);
  EXPECT_EQ(TX_connect(0, 7, sa8, 8), 0);  // exactly enough: read in full
  EXPECT_EQ(TX_bind(-1, 8, nullptr, 2), -1);
  std::string dp = [&] {
    char buf[32];
    snprintf(buf, sizeof buf, "0x%zx", reinterpret_cast<size_t>(data));
    return std::string(buf);
  }();
  std::vector<std::string> want = {
      "ERR: connect(3, <2 bytes>, 2) returned -1 [10014]",
      "ERR: bind(4, <7 bytes>, 7) returned -1 [10014]",
      "ERR: sendto(5, " + dp + ", 3, 0, <0 bytes>, 0) returned -1 [10014]",
      "ERR: connect(6, <-1 bytes>, -1) returned -1 [10014]",
      "INF: connect(7, 10.1.2.3:80, 8) returned 0",
      "ERR: bind(8, NULL, 2) returned -1 [10014]",
  };
  EXPECT_EQ(Records(), want);
}

TEST_F(Careless, ShortHostAddressesAreNotRead) {
  GuardedBytes two(2);
  two.data()[0] = 10;
  two.data()[1] = 9;
  GuardedBytes four(4);
  const unsigned char a[4] = {192, 168, 7, 1};
  memcpy(four.data(), a, 4);

  EXPECT_EQ(TX_gethostbyaddr(nullptr, two.chars(), 2, 2), nullptr);
  EXPECT_EQ(TX_WSAAsyncGetHostByAddr(nullptr, nullptr, 1, two.chars(), 3, 2,
                                     nullptr, 0),
            nullptr);
  // An entry whose own length says its addresses are two bytes long.
  char *list[] = {two.chars(), nullptr};
  struct hostent host;
  memset(&host, 0, sizeof host);
  host.h_name = const_cast<char *>("short");
  host.h_addr_list = list;
  host.h_length = 2;
  t_code = 0;
  EXPECT_EQ(TX_gethostbyaddr(&host, four.chars(), 4, 2), &host);
  host.h_length = 4;
  list[0] = four.chars();
  EXPECT_EQ(TX_gethostbyname(&host, "short"), &host);
  std::vector<std::string> want = {
      "ERR: gethostbyaddr(<2 bytes>, 2, 2) returned NULL [10014]",
      "ERR: WSAAsyncGetHostByAddr(0x0, 0x1, <3 bytes>, 3, 2, 0x0, 0) "
      "returned NULL [10014]",
      "INF: gethostbyaddr(192.168.7.1, 4, 2) returned <2 bytes> (short)",
      "INF: gethostbyname(\"short\") returned 192.168.7.1 (short)",
  };
  EXPECT_EQ(Records(), want);
}

// The count of nested enables stops at its limit instead of wrapping; the
// test presets it there rather than nesting two thousand million times.
TEST_F(Careless, NestingStopsAtItsLimit) {
  nq::TraceContext *ctx = nq::FindContext();
  ASSERT_NE(ctx, nullptr);
  ctx->nesting = nq::kMaxNesting - 1;
  EXPECT_EQ(WSAEnableTrace(file_.c_str(), 0), 1);
  EXPECT_EQ(ctx->nesting, nq::kMaxNesting);
  EXPECT_EQ(WSAEnableTrace(file_.c_str(), 0), 0);
  EXPECT_EQ(WSAEnableTrace(nullptr, 4), 0);
  EXPECT_EQ(ctx->nesting, nq::kMaxNesting);
  // A disable still ends one level only, and the context goes on tracing.
  EXPECT_EQ(WSADisableTrace(), 1);
  EXPECT_EQ(WSAGetTraceUsage(), 1);
  EXPECT_EQ(nq::FindContext(), ctx);
  EXPECT_EQ(ctx->nesting, nq::kMaxNesting - 1);
  EXPECT_EQ(NetQuillWrite(0, "still here", 0), 1);
  ctx->nesting = 1;
  EXPECT_EQ(WSADisableTrace(), 1);
  EXPECT_EQ(WSAGetTraceUsage(), 0);
  auto records = Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], "INF: still here");
  EXPECT_EQ(records[1].substr(0, 22), "INF: stopped process 0");
}

// A null record installs nothing and crashes nothing; the call succeeds
// like every other call of it, and the callbacks already there stay.
TEST_F(Careless, SetupWithoutARecordKeepsTheBridge) {
  EXPECT_EQ(WSASetupTrace(nullptr), 1);
  t_code = 10061;
  EXPECT_EQ(TX_connect(-1, 3, nullptr, 16), -1);
  EXPECT_EQ(t_code, 10061);
  auto records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0], "ERR: connect(3, NULL, 16) returned -1 [10061]");
}

TEST(CarelessFormatters, ShortTextsAtTheirBounds) {
  GuardedBytes three(3);
  EXPECT_STREQ(nq::FormatInAddrOfLength(three.data(), 3), "<3 bytes>");
  EXPECT_STREQ(nq::FormatInAddrOfLength(nullptr, 0), "NULL");
  EXPECT_STREQ(nq::FormatInAddrOfLength(three.data(), INT32_MIN),
               "<-2147483648 bytes>");
  auto *sa = reinterpret_cast<const struct sockaddr *>(three.data());
  EXPECT_STREQ(nq::FormatSockAddrOfLength(sa, INT32_MIN),
               "<-2147483648 bytes>");
  EXPECT_STREQ(nq::FormatSockAddrOfLength(nullptr, 0), "NULL");
}

}  // namespace
