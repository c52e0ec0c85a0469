// What a trace path may name on Windows: a named pipe gets nothing, the
// console's and the null device's character devices are written.
// The socket header first: windows.h would otherwise bring the old one in.
#include "support/test_env.h"

#include <windows.h>

#include <string>

using namespace nqtest;

namespace {

class TraceTargets : public TraceTest {};

// A server end of a pipe that does not wait: a read says at once what a
// client wrote, if anything.
HANDLE ListenOn(const std::string &name) {
  return CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND,
                          PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_NOWAIT,
                          PIPE_UNLIMITED_INSTANCES, 0, 65536, 0, nullptr);
}

// Bytes that arrived at the server end (0 for none, also after the client
// has gone).
DWORD Arrived(HANDLE server) {
  char buf[4096];
  DWORD got = 0;
  if (!ReadFile(server, buf, sizeof buf, &got, nullptr)) return 0;
  return got;
}

TEST_F(TraceTargets, NamedPipeGetsNothing) {
  std::string pipe = "\\\\.\\pipe\\nqtest-" +
                     std::to_string(GetCurrentProcessId()) + "-" +
                     std::to_string(GetCurrentThreadId());
  HANDLE server = ListenOn(pipe);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  ASSERT_EQ(WSAEnableTrace(pipe.c_str(), 0), 1);  // its banner is dropped
  EXPECT_EQ(Arrived(server), 0u);
  HANDLE second = ListenOn(pipe);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_EQ(NetQuillWrite(0, "password=hunter2", 0), 0);
  EXPECT_EQ(Arrived(server), 0u);
  EXPECT_EQ(Arrived(second), 0u);
  EXPECT_EQ(WSADisableTrace(), 1);
  CloseHandle(second);
  CloseHandle(server);
}

TEST_F(TraceTargets, NullDeviceIsWritten) {
  ASSERT_EQ(WSAEnableTrace("NUL", 0), 1);
  EXPECT_EQ(NetQuillWrite(0, "into the void", 0), 1);
  EXPECT_EQ(WSADisableTrace(), 1);
}

}  // namespace
