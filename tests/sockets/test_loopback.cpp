// Real socket calls on loopback, each handed to its hook as a program
// would, and the trace file read back line by line.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "net_shim.h"
#include "output/format.h"
#include "socket_test.h"
#include "support/test_env.h"

namespace {

using nqtest::TagAndText;

using nqtest::Hex;

std::string Num(long long v) { return std::to_string(v); }

std::string Sock(NQ_SOCKET s) {
  return std::to_string(static_cast<long long>(static_cast<ptrdiff_t>(s)));
}

std::string Endpoint(const struct sockaddr_in &sin) {
  return "127.0.0.1:" + Num(ntohs(sin.sin_port));
}

class Loopback : public SocketTest {
 protected:
  void SetUp() override {
    StartSockets("loopback");
    TraceErrorHooks bridge = NqNetErrorBridge();
    ASSERT_EQ(WSASetupTrace(&bridge), 1);
    ASSERT_EQ(WSAEnableTrace(file_.c_str(), TRACE_FLAG_DUMP), 1);
  }

  // The records after the start banner: text lines from their tag on,
  // dump lines without their indentation (checked against the module name).
  std::vector<std::string> Records() {
    std::vector<std::string> lines = nqtest::ReadLines(file_);
    std::vector<std::string> out;
    if (lines.empty()) return out;
    std::string module = lines[0].substr(0, lines[0].find(' '));
    std::string indent(module.size() + 1, ' ');
    for (size_t i = 1; i < lines.size(); ++i) {
      if (lines[i][0] == ' ') {
        EXPECT_EQ(lines[i].substr(0, indent.size()), indent);
        out.push_back("DUMP " + lines[i].substr(indent.size()));
      } else {
        EXPECT_EQ(lines[i].substr(0, module.size() + 1), module + " ");
        out.push_back(TagAndText(lines[i]));
      }
    }
    return out;
  }

  NQ_SOCKET Socket(int type, int protocol) {
    return TX_socket(socket(AF_INET, type, protocol), AF_INET, type, protocol);
  }
};

TEST_F(Loopback, TcpConversation) {
  std::vector<std::string> want;
  NQ_SOCKET ls = Socket(SOCK_STREAM, IPPROTO_TCP);
  ASSERT_FALSE(NqNetIsInvalid(ls));
  want.push_back("INF: socket(2, 1, 6) returned " + Sock(ls));

  struct sockaddr_in any = NqNetLoopback(0);
  ASSERT_EQ(TX_bind(bind(ls, NqNetSa(&any), sizeof any), ls, NqNetSa(&any),
                    sizeof any),
            0);
  want.push_back("INF: bind(" + Sock(ls) + ", 127.0.0.1:0, 16) returned 0");
  ASSERT_EQ(TX_listen(listen(ls, 4), ls, 4), 0);
  want.push_back("INF: listen(" + Sock(ls) + ", 4) returned 0");

  struct sockaddr_in bound;
  NQ_SOCKLEN blen = sizeof bound;
  ASSERT_EQ(TX_getsockname(getsockname(ls, NqNetSa(&bound), &blen), ls,
                           NqNetSa(&bound), &blen),
            0);
  want.push_back("INF: getsockname(" + Sock(ls) + ", " + Endpoint(bound) +
                 ", " + Hex(&blen) + ") returned 0");

  NQ_SOCKET c = Socket(SOCK_STREAM, IPPROTO_TCP);
  want.push_back("INF: socket(2, 1, 6) returned " + Sock(c));
  ASSERT_EQ(TX_connect(connect(c, NqNetSa(&bound), sizeof bound), c,
                       NqNetSa(&bound), sizeof bound),
            0);
  want.push_back("INF: connect(" + Sock(c) + ", " + Endpoint(bound) +
                 ", 16) returned 0");

  struct sockaddr_in peer;
  NQ_SOCKLEN plen = sizeof peer;
  NQ_SOCKET a =
      TX_accept(accept(ls, NqNetSa(&peer), &plen), ls, NqNetSa(&peer), &plen);
  ASSERT_FALSE(NqNetIsInvalid(a));
  want.push_back("INF: accept(" + Sock(ls) + ", " + Endpoint(peer) + ", " +
                 Hex(&plen) + ") returned " + Sock(a));

  const char msg[] = "hello, server";
  ASSERT_EQ(TX_send(send(c, msg, 13, 0), c, msg, 13, 0), 13);
  want.push_back("INF: send(" + Sock(c) + ", " + Hex(msg) +
                 ", 13, 0) returned 13");
  want.push_back("DUMP 0000  68 65 6C 6C 6F 2C 20 73:65 72 76 65 72 " +
                 std::string(9, ' ') + " hello, server");

  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(a, &readable);
  struct timeval wait = {5, 0};
  int nfds = static_cast<int>(a) + 1;
  ASSERT_EQ(TX_select(select(nfds, &readable, nullptr, nullptr, &wait), nfds,
                      &readable, nullptr, nullptr, &wait),
            1);
  // The time-out shows what it holds after the call, as select left it.
  want.push_back("INF: select(" + Num(nfds) + ", " + Hex(&readable) +
                 ", 0x0, 0x0, " + Num(wait.tv_sec) + ":" + Num(wait.tv_usec) +
                 ") returned 1");

  char buf[512];
  ASSERT_EQ(TX_recv(recv(a, buf, 512, 0), a, buf, 512, 0), 13);
  want.push_back("INF: recv(" + Sock(a) + ", " + Hex(buf) +
                 ", 512, 0) returned 13");
  want.push_back(want[want.size() - 3]);  // the same 13 bytes

  struct sockaddr_in other;
  NQ_SOCKLEN olen = sizeof other;
  ASSERT_EQ(TX_getpeername(getpeername(a, NqNetSa(&other), &olen), a,
                           NqNetSa(&other), &olen),
            0);
  want.push_back("INF: getpeername(" + Sock(a) + ", " + Endpoint(other) + ", " +
                 Hex(&olen) + ") returned 0");

  // An empty non-blocking socket: the would-block code, kept for the caller.
  NQ_IOCTLARG on;
  ASSERT_EQ(TX_ioctlsocket(NqNetSetNonBlocking(a, &on), a,
                           NqNetNonBlockingCommand(), &on),
            0);
  char cmd[32];
  nq::Format(cmd, sizeof cmd, "0x%lx",
             static_cast<unsigned long>(NqNetNonBlockingCommand()));
  want.push_back("INF: ioctlsocket(" + Sock(a) + ", " + cmd + ", " + Hex(&on) +
                 ") returned 0");
  ASSERT_EQ(TX_recv(recv(a, buf, 512, 0), a, buf, 512, 0), -1);
  int code = NqNetLastError();
  EXPECT_EQ(code, NqNetWouldBlockCode());
  // Would-block is a warning, by the socket API's code or the system's.
  want.push_back("WRN: recv(" + Sock(a) + ", " + Hex(buf) +
                 ", 512, 0) returned -1 [" + Num(code) + "]");

  ASSERT_EQ(TX_shutdown(shutdown(c, 1), c, 1), 0);
  want.push_back("INF: shutdown(" + Sock(c) + ", 1) returned 0");
  for (NQ_SOCKET s : {c, a, ls}) {
    ASSERT_EQ(TX_closesocket(NqNetClose(s), s), 0);
    want.push_back("INF: closesocket(" + Sock(s) + ") returned 0");
  }
  EXPECT_EQ(Records(), want);
}

TEST_F(Loopback, RefusedConnectKeepsItsErrorCode) {
  // A bound socket that does not listen holds a port nobody accepts on.
  NQ_SOCKET holder = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  struct sockaddr_in addr = NqNetLoopback(0);
  ASSERT_EQ(bind(holder, NqNetSa(&addr), sizeof addr), 0);
  NQ_SOCKLEN len = sizeof addr;
  ASSERT_EQ(getsockname(holder, NqNetSa(&addr), &len), 0);
  NQ_SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  int result = TX_connect(connect(s, NqNetSa(&addr), sizeof addr), s,
                          NqNetSa(&addr), sizeof addr);
  int code = NqNetLastError();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(code, NqNetRefusedCode());
  EXPECT_EQ(Records(), std::vector<std::string>{
                           "ERR: connect(" + Sock(s) + ", " + Endpoint(addr) +
                           ", 16) returned -1 [" + Num(code) + "]"});
  NqNetClose(s);
  NqNetClose(holder);
}

TEST_F(Loopback, UdpDatagramsAndATimeOut) {
  NQ_SOCKET u1 = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  NQ_SOCKET u2 = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  struct sockaddr_in a1 = NqNetLoopback(0), a2 = NqNetLoopback(0);
  ASSERT_EQ(bind(u1, NqNetSa(&a1), sizeof a1), 0);
  ASSERT_EQ(bind(u2, NqNetSa(&a2), sizeof a2), 0);
  NQ_SOCKLEN len = sizeof a1;
  getsockname(u1, NqNetSa(&a1), &len);
  len = sizeof a2;
  getsockname(u2, NqNetSa(&a2), &len);
  std::vector<std::string> want;

  // Nothing has been sent yet: the select runs out its time.
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(u2, &readable);
  struct timeval wait = {0, 20000};
  int nfds = static_cast<int>(u2) + 1;
  ASSERT_EQ(TX_select(select(nfds, &readable, nullptr, nullptr, &wait), nfds,
                      &readable, nullptr, nullptr, &wait),
            0);
  want.push_back("INF: select(" + Num(nfds) + ", " + Hex(&readable) +
                 ", 0x0, 0x0, " + Num(wait.tv_sec) + ":" + Num(wait.tv_usec) +
                 ") returned 0");

  const char ping[] = "ping\x01\xff";
  ASSERT_EQ(TX_sendto(sendto(u1, ping, 6, 0, NqNetSa(&a2), sizeof a2), u1, ping,
                      6, 0, NqNetSa(&a2), sizeof a2),
            6);
  want.push_back("INF: sendto(" + Sock(u1) + ", " + Hex(ping) + ", 6, 0, " +
                 Endpoint(a2) + ", 16) returned 6");
  std::string dump =
      "DUMP 0000  70 69 6E 67 01 FF " + std::string(30, ' ') + " ping..";
  want.push_back(dump);

  char buf[64];
  struct sockaddr_in from;
  NQ_SOCKLEN flen = sizeof from;
  ASSERT_EQ(TX_recvfrom(recvfrom(u2, buf, 64, 0, NqNetSa(&from), &flen), u2,
                        buf, 64, 0, NqNetSa(&from), &flen),
            6);
  want.push_back("INF: recvfrom(" + Sock(u2) + ", " + Hex(buf) + ", 64, 0, " +
                 Endpoint(a1) + ", " + Hex(&flen) + ") returned 6");
  want.push_back(dump);
  EXPECT_EQ(Records(), want);
  NqNetClose(u1);
  NqNetClose(u2);
}

TEST_F(Loopback, NameServiceCalls) {
  std::vector<std::string> want;
  struct hostent *host =
      TX_gethostbyname(gethostbyname("localhost"), "localhost");
  ASSERT_NE(host, nullptr);
  const unsigned char *a =
      reinterpret_cast<const unsigned char *>(host->h_addr_list[0]);
  EXPECT_EQ(a[0], 127);
  want.push_back("INF: gethostbyname(\"localhost\") returned " + Num(a[0]) +
                 "." + Num(a[1]) + "." + Num(a[2]) + "." + Num(a[3]) + " (" +
                 host->h_name + ")");

  // Service and protocol databases may be missing on a bare machine; the
  // line shows whichever answer the system gave.
  struct servent *http =
      TX_getservbyname(getservbyname("http", "tcp"), "http", "tcp");
  std::string serv_text =
      http ? "INF: getservbyname(\"http\", \"tcp\") returned " +
                 Num(ntohs(static_cast<unsigned short>(http->s_port))) + " (" +
                 http->s_name + ")"
           : "ERR: getservbyname(\"http\", \"tcp\") returned NULL";
  if (http) {
    EXPECT_EQ(ntohs(static_cast<unsigned short>(http->s_port)), 80);
  }
  struct protoent *tcp = TX_getprotobyname(getprotobyname("tcp"), "tcp");
  std::string proto_text = tcp ? "INF: getprotobyname(\"tcp\") returned " +
                                     Num(tcp->p_proto) + " (" + tcp->p_name +
                                     ")"
                               : "ERR: getprotobyname(\"tcp\") returned NULL";
  if (tcp) {
    EXPECT_EQ(tcp->p_proto, 6);
  }
  std::vector<std::string> got = Records();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], want[0]);
  // A failed lookup ends in its error code, whatever the system set.
  EXPECT_EQ(got[1].substr(0, serv_text.size()), serv_text);
  EXPECT_EQ(got[2].substr(0, proto_text.size()), proto_text);
}

}  // namespace
