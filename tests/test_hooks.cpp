// The hooks: their lines, failure marks, dumps, guard, and the error code
// they fetch and hand back.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "hooks/formatters.h"
#include "output/format.h"
#include "support/test_env.h"

using namespace nqtest;

namespace {

std::atomic<int> g_gets{0};
std::atomic<int> g_sets{0};
thread_local int t_code;      // the caller's error code, per thread
thread_local int t_restored;  // what the set-error callback handed back

int NQ_CALL GetCode() {
  g_gets++;
  return t_code;
}

void NQ_CALL SetCode(int code) {
  g_sets++;
  t_restored = code;
  t_code = code;
}

template <typename T>
T *P(uintptr_t v) {
  return reinterpret_cast<T *>(v);
}

// A pointer or handle type of the platform (window, task, procedure).
template <typename T>
T As(uintptr_t v) {
  return reinterpret_cast<T>(v);
}

using nqtest::Hex;

class Hooks : public TraceTest {
 protected:
  void SetUp() override {
    TraceTest::SetUp();
    TraceErrorHooks hooks = {GetCode, SetCode};
    WSASetupTrace(&hooks);
    g_gets = 0;
    g_sets = 0;
    t_code = 0;
    file_ = Path("hooks.log");
  }

  void TearDown() override {
    TraceErrorHooks none = {nullptr, nullptr};
    WSASetupTrace(&none);
    TraceTest::TearDown();
  }

  void Enable(uint32_t flags) {
    ASSERT_EQ(WSAEnableTrace(file_.c_str(), flags), 1);
  }

  // Text records after the start banner, tag and all; dump lines as they are.
  std::vector<std::string> Records() {
    std::vector<std::string> out;
    auto lines = Lines(file_);
    for (size_t i = 1; i < lines.size(); ++i) {
      out.push_back(lines[i][0] == ' ' ? lines[i] : TagAndText(lines[i]));
    }
    return out;
  }

  std::string Last() {
    auto r = Records();
    return r.empty() ? "" : r.back();
  }

  std::string file_;
};

struct sockaddr_in Loopback(int port) {
  struct sockaddr_in sin;
  memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  unsigned char p[2] = {static_cast<unsigned char>(port >> 8),
                        static_cast<unsigned char>(port)};
  memcpy(&sin.sin_port, p, 2);
  unsigned char a[4] = {10, 1, 2, 3};
  memcpy(&sin.sin_addr, a, 4);
  return sin;
}

TEST_F(Hooks, EveryHookReturnsItsResultAndWritesItsLine) {
  Enable(0);
  auto sin = Loopback(80);
  auto *sa = reinterpret_cast<struct sockaddr *>(&sin);
  NQ_SOCKLEN len = sizeof sin;
  char data[8] = "abcdefg";
  unsigned char four[4] = {192, 168, 1, 2};
  const char *addr4 = reinterpret_cast<const char *>(four);
  struct hostent host;
  memset(&host, 0, sizeof host);
  char *list[] = {reinterpret_cast<char *>(four), nullptr};
  host.h_name = const_cast<char *>("gw");
  host.h_addr_list = list;
  host.h_length = 4;
  struct servent serv;
  memset(&serv, 0, sizeof serv);
  serv.s_name = const_cast<char *>("http");
  serv.s_port = static_cast<decltype(serv.s_port)>(nq::NetToHostShort(80));
  struct protoent proto;
  memset(&proto, 0, sizeof proto);
  proto.p_name = const_cast<char *>("udp");
  proto.p_proto = 17;
  struct timeval tv;
  tv.tv_sec = 5;
  tv.tv_usec = 500;
  NQ_HWND w = As<NQ_HWND>(0x1234);
  NQ_HANDLE task = As<NQ_HANDLE>(0x2c);
  char host_name[16] = "box";
  std::string lp = Hex(&len);
  std::string dp = Hex(data);

  std::vector<std::string> want;
  EXPECT_EQ(TX_accept(5, 3, sa, &len), static_cast<NQ_SOCKET>(5));
  want.push_back("INF: accept(3, 10.1.2.3:80, " + lp + ") returned 5");
  EXPECT_EQ(TX_bind(0, 3, sa, 16), 0);
  want.push_back("INF: bind(3, 10.1.2.3:80, 16) returned 0");
  EXPECT_EQ(TX_closesocket(0, 3), 0);
  want.push_back("INF: closesocket(3) returned 0");
  EXPECT_EQ(TX_connect(0, 3, sa, 16), 0);
  want.push_back("INF: connect(3, 10.1.2.3:80, 16) returned 0");
  EXPECT_EQ(TX_getpeername(0, 3, sa, &len), 0);
  want.push_back("INF: getpeername(3, 10.1.2.3:80, " + lp + ") returned 0");
  EXPECT_EQ(TX_getsockname(0, 3, sa, &len), 0);
  want.push_back("INF: getsockname(3, 10.1.2.3:80, " + lp + ") returned 0");
  EXPECT_EQ(TX_getsockopt(0, 3, 65535, 4, P<NQ_OPTVAL>(0xa0), &len), 0);
  want.push_back("INF: getsockopt(3, 65535, 4, 0xa0, " + lp + ") returned 0");
  EXPECT_EQ(TX_ioctlsocket(0, 3, -2147195266L, P<NQ_IOCTLARG>(0xb0)), 0);
  want.push_back("INF: ioctlsocket(3, 0x" +
                 std::string(sizeof(long) == 8 ? "ffffffff" : "") +
                 "8004667e, 0xb0) returned 0");
  EXPECT_EQ(TX_listen(0, 3, 5), 0);
  want.push_back("INF: listen(3, 5) returned 0");
  EXPECT_EQ(TX_recv(0, 3, data, 8, 0), 0);
  want.push_back("INF: recv(3, " + dp + ", 8, 0) returned 0");
  EXPECT_EQ(TX_recvfrom(0, 3, data, 8, 2, sa, &len), 0);
  want.push_back("INF: recvfrom(3, " + dp + ", 8, 2, 10.1.2.3:80, " + lp +
                 ") returned 0");
  EXPECT_EQ(TX_select(1, 4, P<fd_set>(0x10), nullptr, P<fd_set>(0x30), &tv), 1);
  want.push_back("INF: select(4, 0x10, 0x0, 0x30, 5:500) returned 1");
  EXPECT_EQ(TX_send(0, 3, data, 8, 0), 0);
  want.push_back("INF: send(3, " + dp + ", 8, 0) returned 0");
  EXPECT_EQ(TX_sendto(0, 3, data, 8, 0, sa, 16), 0);
  want.push_back("INF: sendto(3, " + dp +
                 ", 8, 0, 10.1.2.3:80, 16) returned 0");
  EXPECT_EQ(TX_setsockopt(0, 3, 6, 1, P<NQ_OPTVAL>(0xc0), 4), 0);
  want.push_back("INF: setsockopt(3, 6, 1, 0xc0, 4) returned 0");
  EXPECT_EQ(TX_shutdown(0, 3, 2), 0);
  want.push_back("INF: shutdown(3, 2) returned 0");
  EXPECT_EQ(TX_socket(7, 2, 1, 6), static_cast<NQ_SOCKET>(7));
  want.push_back("INF: socket(2, 1, 6) returned 7");
  EXPECT_EQ(TX_gethostbyaddr(&host, addr4, 4, 2), &host);
  want.push_back(
      "INF: gethostbyaddr(192.168.1.2, 4, 2) returned 192.168.1.2 (gw)");
  EXPECT_EQ(TX_gethostbyname(&host, "gw"), &host);
  want.push_back("INF: gethostbyname(\"gw\") returned 192.168.1.2 (gw)");
  EXPECT_EQ(TX_getprotobyname(&proto, "udp"), &proto);
  want.push_back("INF: getprotobyname(\"udp\") returned 17 (udp)");
  EXPECT_EQ(TX_getprotobynumber(&proto, 17), &proto);
  want.push_back("INF: getprotobynumber(17) returned 17 (udp)");
  EXPECT_EQ(TX_getservbyname(&serv, "http", "tcp"), &serv);
  want.push_back("INF: getservbyname(\"http\", \"tcp\") returned 80 (http)");
  EXPECT_EQ(TX_getservbyport(&serv, nq::NetToHostShort(80), "tcp"), &serv);
  want.push_back("INF: getservbyport(80, \"tcp\") returned 80 (http)");
  EXPECT_EQ(TX_gethostname(0, host_name, 16), 0);
  want.push_back("INF: gethostname(" + Hex(host_name) +
                 " (\"box\"), 16) returned 0");
  EXPECT_EQ(TX_WSAAsyncSelect(0, 3, w, 0x401, 0x21), 0);
  want.push_back("INF: WSAAsyncSelect(3, 0x1234, 0x401, 0x21) returned 0");
  EXPECT_EQ(TX_WSAAsyncGetHostByAddr(task, w, 0x402, addr4, 4, 2, P<char>(0xd0),
                                     1024),
            task);
  want.push_back(
      "INF: WSAAsyncGetHostByAddr(0x1234, 0x402, 192.168.1.2, 4, "
      "2, 0xd0, 1024) returned 0x2c");
  EXPECT_EQ(TX_WSAAsyncGetHostByName(task, w, 0x403, "gw", P<char>(0xd0), 64),
            task);
  want.push_back(
      "INF: WSAAsyncGetHostByName(0x1234, 0x403, \"gw\", 0xd0, 64) "
      "returned 0x2c");
  EXPECT_EQ(TX_WSAAsyncGetProtoByNumber(task, w, 0x404, 6, P<char>(0xd0), 64),
            task);
  want.push_back(
      "INF: WSAAsyncGetProtoByNumber(0x1234, 0x404, 6, 0xd0, 64) "
      "returned 0x2c");
  EXPECT_EQ(TX_WSAAsyncGetProtoByName(task, w, 0x405, nullptr, nullptr, 0),
            task);
  want.push_back(
      "INF: WSAAsyncGetProtoByName(0x1234, 0x405, \"\", 0x0, 0) "
      "returned 0x2c");
  EXPECT_EQ(TX_WSAAsyncGetServByPort(task, w, 0x406, 0x1500, "udp",
                                     P<char>(0xd0), 64),
            task);
  want.push_back(
      "INF: WSAAsyncGetServByPort(0x1234, 0x406, 21, \"udp\", 0xd0, "
      "64) returned 0x2c");
  EXPECT_EQ(
      TX_WSAAsyncGetServByName(task, w, 0x407, "ftp", "tcp", P<char>(0xd0), 64),
      task);
  want.push_back(
      "INF: WSAAsyncGetServByName(0x1234, 0x407, \"ftp\", \"tcp\", "
      "0xd0, 64) returned 0x2c");
  EXPECT_EQ(TX_WSACancelAsyncRequest(0, task), 0);
  want.push_back("INF: WSACancelAsyncRequest(0x2c) returned 0");
  EXPECT_EQ(TX_WSASetBlockingHook(As<NQ_PROC>(0xe0), As<NQ_PROC>(0xf0)),
            As<NQ_PROC>(0xe0));
  want.push_back("INF: WSASetBlockingHook(0xf0) returned 0xe0");
  EXPECT_EQ(TX_WSAUnhookBlockingHook(0), 0);
  want.push_back("INF: WSAUnhookBlockingHook() returned 0");
  EXPECT_EQ(TX_WSACancelBlockingCall(0), 0);
  want.push_back("INF: WSACancelBlockingCall() returned 0");
  EXPECT_EQ(TX_WSAIsBlocking(1), 1);
  want.push_back("INF: WSAIsBlocking() returned TRUE");
  EXPECT_EQ(Records(), want);
  EXPECT_EQ(g_gets.load(), 36);
  EXPECT_EQ(g_sets.load(), 36);
}

TEST_F(Hooks, FailuresAndTheirSpelling) {
  Enable(0);
  t_code = 10061;
  EXPECT_EQ(TX_socket(static_cast<NQ_SOCKET>(-1), 2, 1, 6),
            static_cast<NQ_SOCKET>(-1));
  EXPECT_EQ(Last(), "ERR: socket(2, 1, 6) returned INVALID_SOCKET [10061]");
  EXPECT_EQ(TX_accept(static_cast<NQ_SOCKET>(-1), 3, nullptr, nullptr),
            static_cast<NQ_SOCKET>(-1));
  EXPECT_EQ(Last(), "ERR: accept(3, NULL, 0x0) returned -1 [10061]");
  EXPECT_EQ(TX_closesocket(-1, static_cast<NQ_SOCKET>(-1)), -1);
  EXPECT_EQ(Last(), "ERR: closesocket(-1) returned -1 [10061]");
  EXPECT_EQ(TX_select(0, 0, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(Last(), "INF: select(0, 0x0, 0x0, 0x0, NULL) returned 0");
  t_code = 11001;
  EXPECT_EQ(TX_WSAAsyncGetHostByName(nullptr, nullptr, 0x400, "x", nullptr, 0),
            nullptr);
  EXPECT_EQ(Last(),
            "WRN: WSAAsyncGetHostByName(0x0, 0x400, \"x\", 0x0, 0) "
            "returned NULL [11001]");
  t_code = 10038;
  EXPECT_EQ(TX_WSASetBlockingHook(nullptr, nullptr), nullptr);
  EXPECT_EQ(Last(), "INF: WSASetBlockingHook(0x0) returned NULL");
  EXPECT_EQ(TX_WSAIsBlocking(0), 0);
  EXPECT_EQ(Last(), "INF: WSAIsBlocking() returned FALSE");
  EXPECT_EQ(TX_gethostbyname(nullptr, nullptr), nullptr);
  EXPECT_EQ(Last(), "ERR: gethostbyname(\"(null)\") returned NULL [10038]");
  EXPECT_EQ(TX_getservbyname(nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(Last(), "ERR: getservbyname(\"\", \"\") returned NULL [10038]");
  EXPECT_EQ(TX_getprotobyname(nullptr, nullptr), nullptr);
  EXPECT_EQ(Last(), "ERR: getprotobyname(\"\") returned NULL [10038]");
  char buf[8] = "stale";
  EXPECT_EQ(TX_gethostname(-1, buf, 8), -1);
  EXPECT_EQ(Last(),
            "ERR: gethostname(" + Hex(buf) + " (\"\"), 8) returned -1 [10038]");
  // Only the first four bytes at addr are read, whatever len says.
  unsigned char sixteen[16] = {10, 9, 8, 7, 6, 5, 4, 3};
  EXPECT_EQ(
      TX_gethostbyaddr(nullptr, reinterpret_cast<char *>(sixteen), 16, 23),
      nullptr);
  EXPECT_EQ(Last(),
            "ERR: gethostbyaddr(10.9.8.7, 16, 23) returned NULL [10038]");
  EXPECT_EQ(TX_gethostbyaddr(nullptr, nullptr, 4, 2), nullptr);
  EXPECT_EQ(Last(), "ERR: gethostbyaddr(NULL, 4, 2) returned NULL [10038]");
  EXPECT_EQ(
      TX_WSAAsyncGetHostByAddr(nullptr, nullptr, 1, nullptr, 4, 2, nullptr, 0),
      nullptr);
  EXPECT_EQ(Last(),
            "ERR: WSAAsyncGetHostByAddr(0x0, 0x1, NULL, 4, 2, 0x0, 0) "
            "returned NULL [10038]");
}

TEST_F(Hooks, HostNameIsReadNoFurtherThanItsBuffer) {
  Enable(0);
  char name[4] = {'a', 'b', 'c', 'd'};  // no terminator within namelen
  EXPECT_EQ(TX_gethostname(0, name, 3), 0);
  EXPECT_EQ(Last(),
            "INF: gethostname(" + Hex(name) + " (\"abc\"), 3) returned 0");
  EXPECT_EQ(TX_gethostname(0, name, 0), 0);
  EXPECT_EQ(Last(), "INF: gethostname(" + Hex(name) + " (\"\"), 0) returned 0");
  EXPECT_EQ(TX_gethostname(0, nullptr, 5), 0);
  EXPECT_EQ(Last(), "INF: gethostname(0x0 (\"\"), 5) returned 0");
}

TEST_F(Hooks, GetServByPortTakesTheLowBitsInNetworkOrder) {
  Enable(0);
  EXPECT_EQ(TX_getservbyport(nullptr, 0x7FFF5000, nullptr), nullptr);
  EXPECT_EQ(Last(), "ERR: getservbyport(80, \"\") returned NULL [0]");
}

TEST_F(Hooks, ReceiveAndSendDumps) {
  Enable(TRACE_FLAG_DUMP);
  char buf[512];
  memcpy(buf, "0123456789ABCDEF", 16);
  std::string bp = Hex(buf);
  t_code = 10035;
  EXPECT_EQ(TX_recv(-1, 3, buf, 512, 0), -1);
  EXPECT_EQ(Records(),
            std::vector<std::string>{"WRN: recv(3, " + bp +
                                     ", 512, 0) returned -1 [10035]"});
  t_code = 0;
  EXPECT_EQ(TX_recv(0, 3, buf, 512, 0), 0);
  EXPECT_EQ(Last(), "INF: recv(3, " + bp + ", 512, 0) returned 0");
  EXPECT_EQ(TX_recv(10, 3, buf, 512, 0), 10);
  auto r = Records();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[2], "INF: recv(3, " + bp + ", 512, 0) returned 10");
  EXPECT_EQ(r[3], "      0000  30 31 32 33 34 35 36 37:38 39 " +
                      std::string(18, ' ') + " 0123456789");
  std::string big(100, 'x');
  EXPECT_EQ(TX_send(60, 3, big.data(), 100, 0), 60);
  r = Records();
  ASSERT_EQ(r.size(), 4u + 1 + 4);  // 60 bytes: three full lines and 12
  EXPECT_EQ(r[4], "INF: send(3, " + Hex(big.data()) + ", 100, 0) returned 60");
  EXPECT_EQ(r[8].substr(6, 4), "0030");
  EXPECT_EQ(r[8].substr(6 + 6 + 36, 3), "   ");
}

TEST_F(Hooks, DumpsNeverReachPastTheBuffer) {
  Enable(TRACE_FLAG_DUMP);
  char buf[20];
  memset(buf, 'q', sizeof buf);
  // More than len: only len bytes are the caller's.
  EXPECT_EQ(TX_recv(1000, 3, buf, 20, 0), 1000);
  auto r = Records();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[2].substr(6, 4), "0010");
  EXPECT_EQ(r[2].substr(r[2].size() - 5), " qqqq");
  // Below -1: the call line, no dump, not marked as failed.
  EXPECT_EQ(TX_send(-7, 3, buf, 20, 0), -7);
  EXPECT_EQ(Last(), "INF: send(3, " + Hex(buf) + ", 20, 0) returned -7");
  // A null buffer is never read.
  EXPECT_EQ(TX_recvfrom(5, 3, nullptr, 20, 0, nullptr, nullptr), 5);
  EXPECT_EQ(Last(), "INF: recvfrom(3, 0x0, 20, 0, NULL, 0x0) returned 5");
}

TEST_F(Hooks, FlagsFiveDumpsWithoutCallLines) {
  Enable(TRACE_FLAG_DUMP | TRACE_FLAG_ERRORS);
  char buf[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(TX_recv(4, 3, buf, 4, 0), 4);
  auto lines = Lines(file_);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "      0000  61 62 63 64 " + std::string(36, ' ') + " abcd");
}

TEST_F(Hooks, GuardSkipsEverythingButAcceptsCallbacks) {
  ASSERT_EQ(WSAGetTraceUsage(), 0);
  t_code = 10054;
  EXPECT_EQ(TX_connect(-1, 3, nullptr, 16), -1);
  EXPECT_EQ(TX_recv(-1, 3, nullptr, 16, 0), -1);
  EXPECT_EQ(TX_WSAIsBlocking(1), 1);
  EXPECT_EQ(g_gets.load(), 0);
  EXPECT_EQ(g_sets.load(), 0);
  t_restored = 0;
  EXPECT_EQ(TX_accept(static_cast<NQ_SOCKET>(-1), 3, nullptr, nullptr),
            static_cast<NQ_SOCKET>(-1));
  EXPECT_EQ(g_gets.load(), 1);
  EXPECT_EQ(g_sets.load(), 1);
  EXPECT_EQ(t_restored, 10054);
}

TEST_F(Hooks, ThreadWithoutContextStillGetsItsCodeBack) {
  std::atomic<int> stage{0};
  std::thread tracer([&] {
    WSAEnableTrace(Path("tracer.log").c_str(), 0);
    stage = 1;
    while (stage.load() != 2) std::this_thread::yield();
    WSADisableTrace();
  });
  while (stage.load() != 1) std::this_thread::yield();
  t_code = 10060;
  t_restored = 0;
  EXPECT_EQ(TX_connect(-1, 3, nullptr, 16), -1);
  EXPECT_EQ(g_gets.load(), 1);
  EXPECT_EQ(t_restored, 10060);
  stage = 2;
  tracer.join();
  EXPECT_EQ(Read(Path("tracer.log")).find("connect"), std::string::npos);
}

// A set-error callback gets exactly what the get-error one fetched, even
// when the record's file output disturbs the system's error state.
TEST_F(Hooks, ErrorCodeSurvivesTheFileOutput) {
  Enable(0);
  t_code = 10061;
  EXPECT_EQ(TX_connect(-1, 3, nullptr, 16), -1);
  EXPECT_EQ(t_restored, 10061);
  t_code = 0;
  EXPECT_EQ(TX_connect(0, 3, nullptr, 16), 0);
  EXPECT_EQ(t_restored, 0);
  EXPECT_EQ(Last(), "INF: connect(3, NULL, 16) returned 0");
}

TEST_F(Hooks, OnlyHalfTheBridgeInstalled) {
  Enable(0);
  t_code = 10061;
  TraceErrorHooks get_only = {GetCode, nullptr};
  WSASetupTrace(&get_only);
  t_restored = -3;
  EXPECT_EQ(TX_connect(-1, 3, nullptr, 16), -1);
  EXPECT_EQ(t_restored, -3);
  EXPECT_EQ(Last(), "ERR: connect(3, NULL, 16) returned -1 [10061]");
  TraceErrorHooks set_only = {nullptr, SetCode};
  WSASetupTrace(&set_only);
  t_code = 99;
  EXPECT_EQ(TX_bind(-1, 3, nullptr, 16), -1);
  EXPECT_EQ(t_restored, 10061);  // the code this thread fetched last
  EXPECT_EQ(Last(), "ERR: bind(3, NULL, 16) returned -1 [10061]");
  EXPECT_EQ(WSASetupTrace(nullptr), 1);
}

TEST_F(Hooks, TracingOffReturnsEveryResultUntouched) {
  ASSERT_EQ(WSAGetTraceUsage(), 0);
  EXPECT_EQ(TX_recv(12345, 3, nullptr, 1, 0), 12345);
  EXPECT_EQ(TX_send(-9, 3, nullptr, 1, 0), -9);
  EXPECT_EQ(TX_gethostbyname(P<struct hostent>(0x999), nullptr),
            P<struct hostent>(0x999));
  EXPECT_EQ(TX_WSASetBlockingHook(As<NQ_PROC>(0x77), nullptr),
            As<NQ_PROC>(0x77));
  EXPECT_EQ(TX_select(3, 0, nullptr, nullptr, nullptr, nullptr), 3);
  EXPECT_FALSE(Exists(dir_ + nq::kPathSeparator + "NQSPOOL.LOG"));
}

TEST_F(Hooks, VeryLongNamesAreCutSafely) {
  Enable(0);
  std::string name(5000, 'n');
  EXPECT_EQ(TX_getservbyname(nullptr, name.c_str(), name.c_str()), nullptr);
  std::string line = Last();
  // The text stops at 1023 characters; the error code still follows it.
  EXPECT_EQ(line, "ERR: getservbyname(\"" + name.substr(0, 1023 - 15) + " [0]");
}

// Text from outside can begin no line of its own, close its quotes or fake
// an escape: control bytes, the quote and the backslash show as \xHH,
// every other byte as it is, and no cut splits an escape.
TEST_F(Hooks, NamesShowControlBytesEscaped) {
  Enable(0);
  auto feeds = [](size_t n) {
    std::string s;
    while (n-- > 0) s += "\\x0A";
    return s;
  };
  struct {
    std::string name, shown, entry;  // entry: where the servent shows less
  } cases[] = {
      {"x\nRESOLVE 0 0 ERR: connect(3)", "x\\x0ARESOLVE 0 0 ERR: connect(3)",
       ""},
      {"\r\t\x1f\x7f\x01", "\\x0D\\x09\\x1F\\x7F\\x01", ""},
      {"\x80\xff\\x41\" ~", "\x80\xff\\x5Cx41\\x22 ~", ""},
      {"evil\", \"443\") returned 0 (6.6.6.6:443) (",
       "evil\\x22, \\x22443\\x22) returned 0 (6.6.6.6:443) (", ""},
      {std::string(40, '\n'), feeds(40), feeds(28)},  // its 128 bytes
  };
  for (const auto &c : cases) {
    struct servent entry = {};
    entry.s_name = const_cast<char *>(c.name.c_str());
    TX_getservbyname(&entry, c.name.c_str(), "\n");
    EXPECT_EQ(Last(), "INF: getservbyname(\"" + c.shown +
                          "\", \"\\x0A\") returned 0 (" +
                          (c.entry.empty() ? c.shown : c.entry) + ")");
  }
  // A line cut at its end drops the escape it would split.
  std::string cut = "a" + std::string(300, '\n');
  TX_gethostbyname(nullptr, cut.c_str());
  EXPECT_EQ(Last(), "ERR: gethostbyname(\"a" + feeds(251) + " [0]");
}

TEST_F(Hooks, EachThreadSeesItsOwnCodeAndTexts) {
  const int kThreads = 8;
  const int kCalls = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      std::string file = Path("t" + std::to_string(t) + ".log");
      ASSERT_EQ(WSAEnableTrace(file.c_str(), 1), 1);
      auto sin = Loopback(1000 + t);
      for (int i = 0; i < kCalls; ++i) {
        t_code = 10000 + t;
        TX_connect(-1, t, reinterpret_cast<struct sockaddr *>(&sin), 16);
        ASSERT_EQ(t_restored, 10000 + t);
      }
      WSADisableTrace();
      std::string want = "ERR: connect(" + std::to_string(t) +
                         ", 10.1.2.3:" + std::to_string(1000 + t) +
                         ", 16) returned -1 [" + std::to_string(10000 + t) +
                         "]";
      auto lines = Lines(file);
      ASSERT_EQ(lines.size(), static_cast<size_t>(kCalls));
      for (const auto &l : lines) ASSERT_EQ(TagAndText(l), want);
    });
  }
  for (auto &t : threads) t.join();
}

}  // namespace
