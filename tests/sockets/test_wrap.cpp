// The wrapper header: each nq_ call makes the socket call and traces it,
// returning the call's result with the caller's error code intact.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "net_shim.h"
#include "netquill_wrap.h"
#include "socket_test.h"
#include "support/test_env.h"

extern "C" int RefusedConnectFromC(int port, int *result);

namespace {

struct sockaddr_in Local(int port) {
  return NqNetLoopback(port);
}

class Wrap : public SocketTest {
 protected:
  void SetUp() override { StartSockets("wrap"); }

  // A port on loopback that refuses connections while the holder lives.
  int RefusingPort(NQ_SOCKET *holder) {
    *holder = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    struct sockaddr_in addr = Local(0);
    bind(*holder, NqNetSa(&addr), sizeof addr);
    NQ_SOCKLEN len = sizeof addr;
    getsockname(*holder, NqNetSa(&addr), &len);
    return ntohs(addr.sin_port);
  }

  std::vector<std::string> Texts() {
    std::vector<std::string> out;
    for (const auto &l : nqtest::ReadLines(file_)) {
      if (l[0] != ' ') out.push_back(nqtest::TagAndText(l));
    }
    return out;
  }
};

TEST_F(Wrap, RoundTripThroughTheWrappers) {
  TraceErrorHooks bridge = NqNetErrorBridge();
  WSASetupTrace(&bridge);
  ASSERT_EQ(WSAEnableTrace(file_.c_str(), 0), 1);
  NQ_SOCKET ls = nq_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  struct sockaddr_in addr = Local(0);
  ASSERT_EQ(nq_bind(ls, NqNetSa(&addr), sizeof addr), 0);
  ASSERT_EQ(nq_listen(ls, 1), 0);
  NQ_SOCKLEN len = sizeof addr;
  ASSERT_EQ(nq_getsockname(ls, NqNetSa(&addr), &len), 0);
  NQ_SOCKET c = nq_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_EQ(nq_connect(c, NqNetSa(&addr), sizeof addr), 0);
  NQ_SOCKET a = nq_accept(ls, nullptr, nullptr);
  ASSERT_FALSE(NqNetIsInvalid(a));
  EXPECT_EQ(nq_send(c, "abc", 3, 0), 3);
  char buf[8];
  EXPECT_EQ(nq_recv(a, buf, sizeof buf, 0), 3);
  EXPECT_EQ(memcmp(buf, "abc", 3), 0);
  int one = 1;
  EXPECT_EQ(nq_setsockopt(c, IPPROTO_TCP, 1, reinterpret_cast<char *>(&one),
                          sizeof one),
            0);
  EXPECT_EQ(nq_shutdown(c, 1), 0);
  EXPECT_EQ(nq_closesocket(c), 0);
  EXPECT_EQ(nq_closesocket(a), 0);
  EXPECT_EQ(nq_closesocket(ls), 0);
  std::vector<std::string> texts = Texts();
  ASSERT_EQ(texts.size(), 15u);  // banner and 14 calls
  std::vector<std::string> names;
  for (size_t i = 1; i < texts.size(); ++i) {
    EXPECT_EQ(texts[i].substr(0, 5), "INF: ") << texts[i];
    names.push_back(texts[i].substr(5, texts[i].find('(') - 5));
  }
  EXPECT_EQ(names,
            (std::vector<std::string>{
                "socket", "bind", "listen", "getsockname", "socket", "connect",
                "accept", "send", "recv", "setsockopt", "shutdown",
                "closesocket", "closesocket", "closesocket"}));
}

// The caller sees the error code its call left, with the bridge and also
// without it: the library's own file output leaves the code alone.
TEST_F(Wrap, ErrorCodeIsIntactWithAndWithoutTheBridge) {
  NQ_SOCKET holder;
  int port = RefusingPort(&holder);
  ASSERT_EQ(WSAEnableTrace(file_.c_str(), 0), 1);
  for (int bridged = 0; bridged < 2; ++bridged) {
    if (bridged) {
      TraceErrorHooks bridge = NqNetErrorBridge();
      WSASetupTrace(&bridge);
    }
    int result = 0;
    ASSERT_EQ(RefusedConnectFromC(port, &result), 0);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(NqNetLastError(), NqNetRefusedCode()) << "bridged " << bridged;
  }
  std::vector<std::string> texts = Texts();
  ASSERT_EQ(texts.size(), 5u);
  // Without the bridge no code is fetched, so the line cannot show it; with
  // it, the refusal's own code follows the failed call.
  EXPECT_EQ(texts[2].substr(0, 13), "ERR: connect(");
  std::string code = " [" + std::to_string(NqNetRefusedCode()) + "]";
  EXPECT_EQ(texts[4].substr(0, 13), "ERR: connect(");
  EXPECT_EQ(texts[4].substr(texts[4].size() - code.size()), code);
  NqNetClose(holder);
}

}  // namespace
