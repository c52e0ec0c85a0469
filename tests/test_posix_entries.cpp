// The POSIX builds: addresses of every family, the system's would-block
// codes, and the dumps of gathered data calls. netquill-run's tests run the
// name lookup entries through real programs.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/un.h>

#include <functional>
#include <string>
#include <vector>

#include "core/admission.h"
#include "entries/posix_entries.h"
#include "hooks/formatters.h"
#include "support/test_env.h"

namespace {

std::string In6(const char *text, unsigned port, uint32_t scope, int length) {
  sockaddr_in6 in6;
  memset(&in6, 0, sizeof in6);
  in6.sin6_family = AF_INET6;
  in6.sin6_port = htons(static_cast<uint16_t>(port));
  in6.sin6_scope_id = scope;
  EXPECT_EQ(inet_pton(AF_INET6, text, &in6.sin6_addr), 1) << text;
  return nq::FormatSockAddrOfLength(reinterpret_cast<sockaddr *>(&in6), length);
}

TEST(PosixAddresses, Ipv6AsRfc5952WritesIt) {
  const int full = sizeof(sockaddr_in6);
  struct {
    const char *in;
    unsigned port;
    uint32_t scope;
    int length;
    const char *want;
  } cases[] = {
      {"::1", 443, 0, full, "[::1]:443"},
      {"::", 0, 0, full, "[::]:0"},
      {"2001:DB8:0:0:0:0:0:1", 80, 0, full, "[2001:db8::1]:80"},
      {"2001:db8:0:0:1:0:0:1", 1, 0, full, "[2001:db8::1:0:0:1]:1"},
      {"2001:db8:0:1:1:1:1:1", 1, 0, full, "[2001:db8:0:1:1:1:1:1]:1"},
      {"1:0:0:2:0:0:0:3", 1, 0, full, "[1:0:0:2::3]:1"},
      {"1:2:3:4:5:6:7::", 1, 0, full, "[1:2:3:4:5:6:7:0]:1"},
      {"fe80::1", 443, 2, full, "[fe80::1%2]:443"},
      {"::ffff:1.2.3.4", 65535, 0, full, "[::ffff:1.2.3.4]:65535"},
      {"::1", 443, 0, full - 1, "<27 bytes>"},
      {"::1", 443, 0, 8, "<8 bytes>"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(In6(c.in, c.port, c.scope, c.length), c.want) << c.in;
}

TEST(PosixAddresses, UnixPathsAndOtherFamilies) {
  const int at = offsetof(sockaddr_un, sun_path);
  struct {
    const char *path;
    int bytes;  // of the path, after the family
    const char *want;
  } cases[] = {
      {"/run/x.sock", 12, "\"/run/x.sock\""},
      {"/run/x.sock", 4, "\"/run\""},
      {"", 0, "\"\""},
      {"\0bus\0x", 6, "\"@bus\\x00x\""},
      {"a\nb\x7f\\\xC3\xA9", 8, "\"a\\x0Ab\\x7F\\\xC3\xA9\""},
      {"a\"b\\x", 5, "\"a\\x22b\\x5Cx\""},
  };
  for (const auto &c : cases) {
    sockaddr_un un;
    memset(&un, 0, sizeof un);
    un.sun_family = AF_UNIX;
    memcpy(un.sun_path, c.path, static_cast<size_t>(c.bytes));
    EXPECT_STREQ(nq::FormatSockAddrOfLength(reinterpret_cast<sockaddr *>(&un),
                                            at + c.bytes),
                 c.want)
        << c.path;
  }
  sockaddr_storage other;
  memset(&other, 0, sizeof other);
  other.ss_family = AF_PACKET;
  EXPECT_STREQ(nq::FormatSockAddr(reinterpret_cast<sockaddr *>(&other)),
               "<family 17>");
}

TEST(PosixAdmission, WouldBlockAndInProgressAreWarnings) {
  for (int32_t code : {11, 115, 10035, 11001})
    EXPECT_TRUE(nq::Admit(2, TRACE_KIND_CALL, true, code).warning) << code;
  for (int32_t code : {111, 114, 11000})
    EXPECT_FALSE(nq::Admit(2, TRACE_KIND_CALL, true, code).warning) << code;
}

using PosixEntries = nqtest::EntriesTest;
using nqtest::Hex;

// Three buffers dumped as one run of lines, as if they were one; a result
// larger than the buffers (never from the system) dumps only what they hold.
TEST_F(PosixEntries, GatheredDataIsOneDumpAcrossItsBuffers) {
  char a[] = "0123456789ABC", b[] = "defghijklmnopqrstu", c[] = "vw";
  iovec iov[3] = {{a, 13}, {b, 18}, {c, 2}};
  EXPECT_EQ(NQX_writev(33, 5, iov, 3), 33);
  EXPECT_EQ(NQX_readv(40, 5, iov, 3), 40);
  msghdr msg;
  memset(&msg, 0, sizeof msg);
  msg.msg_iov = iov;
  msg.msg_iovlen = 2;
  EXPECT_EQ(NQX_sendmsg(20, 6, &msg, 0), 20);
  std::string lines[] = {
      "      0000  30 31 32 33 34 35 36 37:38 39 41 42 43 64 65 66  "
      "0123456789ABCdef",
      "      0010  67 68 69 6A 6B 6C 6D 6E:6F 70 71 72 73 74 75 76  "
      "ghijklmnopqrstuv",
      "      0020  77                                               w",
      "      0010  67 68 69 6A                                      ghij"};
  std::vector<std::string> want = {
      "INF: writev(5, " + Hex(iov) + ", 3) returned 33",
      lines[0],
      lines[1],
      lines[2],
      "INF: readv(5, " + Hex(iov) + ", 3) returned 40",
      lines[0],
      lines[1],
      lines[2],
      "INF: sendmsg(6, " + Hex(&msg) + ", NULL, 0) returned 20",
      lines[0],
      lines[3]};
  EXPECT_EQ(Records(), want);
}

// A TLS call's line names the session's socket and carries the code it is
// given (0: no failure, as a clean end that reads 0 bytes); the plaintext
// follows, never more than the buffer. The caller's own code is untouched.
TEST_F(PosixEntries, TlsCallsNameTheirSocketAndDumpThePlaintext) {
  char text[] = "GET / HTTP/1.1\r\n";
  size_t three = 3, forty = 40;
  std::string at = Hex(text);
  const std::string get =
      "      0000  47 45 54 20 2F 20 48 54:54 50 2F 31 2E 31 0D 0A  "
      "GET / HTTP/1.1..";
  struct {
    int result;  // what the entry must hand back
    std::function<long long()> call;
    std::vector<std::string> want;
  } cases[] = {
      {16,
       [&] { return NQX_SSL_write(16, 5, text, 16, 0); },
       {"INF: SSL_write(5, " + at + ", 16) returned 16", get}},
      {-1,
       [&] { return NQX_SSL_read(-1, 5, text, 16, 11); },
       {"WRN: SSL_read(5, " + at + ", 16) returned -1 [11]"}},
      {0,
       [&] { return NQX_SSL_read(0, -1, text, 16, 0); },
       {"INF: SSL_read(-1, " + at + ", 16) returned 0"}},
      {1,
       [&] { return NQX_SSL_read_ex(1, 7, text, 16, &three, 0); },
       {"INF: SSL_read_ex(7, " + at + ", 16, [3]) returned 1",
        "      0000  47 45 54                                         GET"}},
      {1,
       [&] { return NQX_SSL_write_early_data(1, 7, text, 2, &forty, 0); },
       {"INF: SSL_write_early_data(7, " + at + ", 2, [40]) returned 1",
        "      0000  47 45                                            GE"}},
      {0,
       [&] { return NQX_SSL_write_ex(0, 7, text, 16, &three, 71); },
       {"ERR: SSL_write_ex(7, " + at + ", 16, " + Hex(&three) +
        ") returned 0 [71]"}},
      {2,
       [&] { return NQX_SSL_read_early_data(2, 7, text, 16, nullptr, 0); },
       {"INF: SSL_read_early_data(7, " + at + ", 16, 0x0) returned 2"}},
      {16,
       [&] { return NQX_BIO_read(16, 4, text, 16, 0); },
       {"INF: BIO_read(4, " + at + ", 16) returned 16", get}},
      {0,
       [&] { return NQX_SSL_shutdown(0, 5, 0); },
       {"INF: SSL_shutdown(5) returned 0"}},
      {-28,
       [&] { return NQX_gnutls_record_recv(-28, 3, text, 4096, 11); },
       {"WRN: gnutls_record_recv(3, " + at + ", 4096) returned -28 [11]"}},
      {3,
       [&] { return NQX_gnutls_record_send(3, 3, text, 16, 0); },
       {"INF: gnutls_record_send(3, " + at + ", 16) returned 3",
        "      0000  47 45 54                                         GET"}},
  };
  std::vector<std::string> want;
  for (const auto &c : cases) {
    PosixEntries::code = 4;
    EXPECT_EQ(c.call(), c.result) << c.want[0];
    EXPECT_EQ(PosixEntries::code, 4) << c.want[0];
    want.insert(want.end(), c.want.begin(), c.want.end());
  }
  EXPECT_EQ(Records(), want);
}

// The secrets go where the dumps go: with the dump flag only.
TEST_F(PosixEntries, TlsKeysAreWrittenWithDumpsOnly) {
  NQP_TraceTlsKey("CLIENT_RANDOM 0a1b 2c3d");
  ASSERT_EQ(WSASetTraceFlags(0), TRACE_FLAG_DUMP);
  NQP_TraceTlsKey("CLIENT_RANDOM 4e5f 6a7b");
  ASSERT_EQ(WSASetTraceFlags(TRACE_FLAG_ERRORS), 0u);
  NQP_TraceTlsKey("CLIENT_RANDOM 8c9d aebf");
  NQP_TraceTlsKey(nullptr);
  EXPECT_EQ(Records(), std::vector<std::string>{
                           "INF: TLS key log: CLIENT_RANDOM 0a1b 2c3d"});
}

}  // namespace
