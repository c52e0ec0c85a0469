// The Windows builds read every socket address as IPv4, whatever its
// family says.
#include <gtest/gtest.h>
#include <string.h>

#include "hooks/formatters.h"

namespace {

TEST(WindowsAddresses, EveryFamilyIsReadAsIpv4) {
  const unsigned char bytes[16] = {23, 0, 0, 21, 1, 2, 3, 4};
  struct sockaddr sa;
  memcpy(&sa, bytes, sizeof sa);
  EXPECT_STREQ(nq::FormatSockAddr(&sa), "1.2.3.4:21");
  EXPECT_STREQ(nq::FormatSockAddrOfLength(&sa, 8), "1.2.3.4:21");
}

}  // namespace
