// The value formatters: exact texts, null and odd inputs, bounds, and the
// per-thread buffers.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <thread>

#include "hooks/formatters.h"

using namespace nq;

namespace {

uint32_t Addr(unsigned char a, unsigned char b, unsigned char c,
              unsigned char d) {
  unsigned char bytes[4] = {a, b, c, d};
  uint32_t v;
  memcpy(&v, bytes, 4);
  return v;
}

struct sockaddr_in SockIn(unsigned char p0, unsigned char p1,
                          uint32_t address) {
  struct sockaddr_in sin;
  memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  unsigned char port[2] = {p0, p1};
  memcpy(&sin.sin_port, port, 2);
  memcpy(&sin.sin_addr, &address, 4);
  return sin;
}

const struct sockaddr *AsAddr(const struct sockaddr_in &sin) {
  return reinterpret_cast<const struct sockaddr *>(&sin);
}

TEST(Formatters, Addresses) {
  EXPECT_STREQ(FormatInAddr(Addr(192, 168, 1, 2)), "192.168.1.2");
  EXPECT_STREQ(FormatInAddr(Addr(255, 255, 255, 255)), "255.255.255.255");
  EXPECT_STREQ(FormatInAddr(0), "0.0.0.0");
  auto http = SockIn(0, 80, Addr(127, 0, 0, 1));
  EXPECT_STREQ(FormatSockAddr(AsAddr(http)), "127.0.0.1:80");
  auto https = SockIn(1, 187, Addr(10, 1, 2, 3));
  EXPECT_STREQ(FormatSockAddr(AsAddr(https)), "10.1.2.3:443");
  auto top = SockIn(255, 255, Addr(255, 255, 255, 255));
  EXPECT_STREQ(FormatSockAddr(AsAddr(top)), "255.255.255.255:65535");
  EXPECT_STREQ(FormatSockAddr(nullptr), "NULL");
}

TEST(Formatters, NetToHostShortSwapsTheLowSixteenBits) {
  EXPECT_EQ(NetToHostShort(0x5000u), 80u);
  EXPECT_EQ(NetToHostShort(0xABCD1234u), 0x3412u);
  EXPECT_EQ(NetToHostShort(0xFFFFu), 0xFFFFu);
  EXPECT_EQ(NetToHostShort(0x00FFu), 0xFF00u);
}

TEST(Formatters, TimeValues) {
  EXPECT_STREQ(FormatTimeVal(nullptr), "NULL");
  struct timeval tv;
  tv.tv_sec = 5;
  tv.tv_usec = 500;
  EXPECT_STREQ(FormatTimeVal(&tv), "5:500");
  tv.tv_sec = -1;
  tv.tv_usec = 0;
  EXPECT_STREQ(FormatTimeVal(&tv), "-1:0");
  tv.tv_sec = 2147483647;
  tv.tv_usec = -2147483647 - 1;
  EXPECT_STREQ(FormatTimeVal(&tv), "2147483647:-2147483648");
  // Where the fields are 64 bits wide, the widest values still fit whole.
  if (sizeof tv.tv_sec == 8 && sizeof tv.tv_usec == 8) {
    tv.tv_sec = static_cast<decltype(tv.tv_sec)>(INT64_MIN);
    tv.tv_usec = static_cast<decltype(tv.tv_usec)>(INT64_MIN);
    EXPECT_STREQ(FormatTimeVal(&tv),
                 "-9223372036854775808:-9223372036854775808");
  }
}

TEST(Formatters, Results) {
  EXPECT_STREQ(FormatIntResult(-1), "returned -1");
  EXPECT_STREQ(FormatIntResult(0), "returned 0");
  EXPECT_STREQ(FormatIntResult(-2147483647 - 1), "returned -2147483648");
  EXPECT_STREQ(FormatSocketResult(static_cast<NQ_SOCKET>(-1)),
               "returned INVALID_SOCKET");
  EXPECT_STREQ(FormatSocketResult(static_cast<NQ_SOCKET>(3)), "returned 3");
  EXPECT_STREQ(FormatHandleResult(0), "returned NULL");
  EXPECT_STREQ(FormatHandleResult(0x2C), "returned 0x2c");
  EXPECT_STREQ(FormatProcResult(0), "returned NULL");
  EXPECT_STREQ(FormatProcResult(0x2C), "returned 0x2c");
  EXPECT_STREQ(FormatProcResult(static_cast<uintptr_t>(-1)),
               sizeof(void *) == 8 ? "returned 0xffffffffffffffff"
                                   : "returned 0xffffffff");
}

TEST(Formatters, HostEntries) {
  EXPECT_STREQ(FormatHostEnt(nullptr), "returned NULL");
  unsigned char first[4] = {127, 0, 0, 1};
  unsigned char second[4] = {10, 0, 0, 9};
  char *list[] = {reinterpret_cast<char *>(first),
                  reinterpret_cast<char *>(second), nullptr};
  struct hostent entry;
  memset(&entry, 0, sizeof entry);
  entry.h_name = const_cast<char *>("localhost");
  entry.h_addr_list = list;
  entry.h_length = 4;
  EXPECT_STREQ(FormatHostEnt(&entry), "returned 127.0.0.1 (localhost)");
  entry.h_name = nullptr;
  EXPECT_STREQ(FormatHostEnt(&entry), "returned 127.0.0.1 ()");
  // No list, or an empty one: nothing is read through the null pointers.
  char *empty[] = {nullptr};
  entry.h_name = const_cast<char *>("x");
  entry.h_addr_list = empty;
  EXPECT_STREQ(FormatHostEnt(&entry), "returned (no address) (x)");
  entry.h_addr_list = nullptr;
  EXPECT_STREQ(FormatHostEnt(&entry), "returned (no address) (x)");
}

TEST(Formatters, ServiceAndProtocolEntries) {
  EXPECT_STREQ(FormatServEnt(nullptr), "returned NULL");
  EXPECT_STREQ(FormatProtoEnt(nullptr), "returned NULL");
  struct servent serv;
  memset(&serv, 0, sizeof serv);
  unsigned char ftp[2] = {0, 21};
  uint16_t raw;
  memcpy(&raw, ftp, 2);
  serv.s_port = raw;
  serv.s_name = const_cast<char *>("ftp");
  EXPECT_STREQ(FormatServEnt(&serv), "returned 21 (ftp)");
  serv.s_name = nullptr;
  serv.s_port = static_cast<decltype(serv.s_port)>(0xFFFF);
  EXPECT_STREQ(FormatServEnt(&serv), "returned 65535 ()");
  struct protoent proto;
  memset(&proto, 0, sizeof proto);
  proto.p_name = const_cast<char *>("tcp");
  proto.p_proto = 6;
  EXPECT_STREQ(FormatProtoEnt(&proto), "returned 6 (tcp)");
  proto.p_proto = static_cast<decltype(proto.p_proto)>(0xFFFF);
  proto.p_name = nullptr;
  EXPECT_STREQ(FormatProtoEnt(&proto), "returned -1 ()");
}

TEST(Formatters, LongNamesAreCutInsideTheBuffer) {
  std::string name(500, 'h');
  unsigned char a[4] = {255, 255, 255, 255};
  char *list[] = {reinterpret_cast<char *>(a), nullptr};
  struct hostent host;
  memset(&host, 0, sizeof host);
  host.h_name = const_cast<char *>(name.c_str());
  host.h_addr_list = list;
  host.h_length = 4;
  std::string text = FormatHostEnt(&host);
  EXPECT_EQ(text.size(), 127u);
  EXPECT_EQ(text.substr(0, 27), "returned 255.255.255.255 (h");
  EXPECT_EQ(text.back(), ')');
  // A name that fits exactly is kept whole: 27 + 100 characters.
  std::string hundred(100, 'k');
  host.h_name = const_cast<char *>(hundred.c_str());
  EXPECT_EQ(std::string(FormatHostEnt(&host)),
            "returned 255.255.255.255 (" + hundred + ")");
  struct servent serv;
  memset(&serv, 0, sizeof serv);
  serv.s_name = const_cast<char *>(name.c_str());
  serv.s_port = static_cast<decltype(serv.s_port)>(0xFFFF);
  text = FormatServEnt(&serv);
  EXPECT_EQ(text.size(), 127u);
  EXPECT_EQ(text.back(), ')');
  struct protoent proto;
  memset(&proto, 0, sizeof proto);
  proto.p_name = const_cast<char *>(name.c_str());
  text = FormatProtoEnt(&proto);
  EXPECT_EQ(text.size(), 127u);
  EXPECT_EQ(text.back(), ')');
}

TEST(Formatters, SecondCallOverwritesWithinAThreadNotAcross) {
  const char *first = FormatIntResult(1);
  FormatIntResult(2);
  EXPECT_STREQ(first, "returned 2");
  const char *mine = FormatIntResult(7);
  std::thread([] {
    for (int i = 0; i < 1000; ++i) FormatIntResult(-9);
  }).join();
  EXPECT_STREQ(mine, "returned 7");
}

}  // namespace
