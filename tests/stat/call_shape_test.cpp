// Where the readers find a call's socket and socket address, from the
// list of calls: the calls at the ends of its rows and those it leaves out.
#include "call_shape.h"

#include <gtest/gtest.h>

using nqtrace::CallArgs;
using nqtrace::CallShape;
using nqtrace::ShapeOf;

namespace {

TEST(CallShape, FromTheListByName) {
  const struct {
    const char *call;
    CallShape want;
  } kCases[] = {
      {"accept", {0, 1, 0}},
      {"closesocket", {0, -1, 0}},
      {"recvfrom", {0, 4, -1}},
      {"sendmmsg", {0, 2, 1}},
      {"splice", {2, -1, 1}},  // its socket is the one it writes to
      {"WSASendTo", {0, 5, 1}},
      {"TransmitPackets", {0, -1, 1}},
      {"WSAConnectByList", {0, 3, 0}},
      // Calls that make sockets, that follow none, or that no list has.
      {"socket", {-1, -1, 0}},
      {"setsockopt", {-1, -1, 0}},
      {"SSL_write", {-1, -1, 0}},
      {"Accept", {-1, -1, 0}},
  };
  for (const auto &c : kCases) {
    const CallShape got = ShapeOf(c.call, CallArgs{});
    EXPECT_EQ(got.socket, c.want.socket) << c.call;
    EXPECT_EQ(got.address, c.want.address) << c.call;
    EXPECT_EQ(got.direction, c.want.direction) << c.call;
  }
}

}  // namespace
