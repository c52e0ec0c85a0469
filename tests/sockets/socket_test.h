// The fixture the socket tests share: the socket library started, a scratch
// directory with the trace file in it, and everything put back afterwards.
#ifndef NQ_TESTS_SOCKETS_SOCKET_TEST_H
#define NQ_TESTS_SOCKETS_SOCKET_TEST_H

#include <gtest/gtest.h>

#include <string>

#include "net_shim.h"
#include "platform/os.h"
#include "support/test_env.h"

class SocketTest : public ::testing::Test {
 protected:
  // tag names the scratch directory and the trace file.
  void StartSockets(const std::string &tag) {
    NqNetStartup();
    dir_ = nqtest::MakeScratchDir(tag);
    file_ = dir_ + nq::kPathSeparator + tag + ".log";
  }

  void TearDown() override {
    nqtest::DisableFully();
    TraceErrorHooks none = {nullptr, nullptr};
    WSASetupTrace(&none);
    NqNetCleanup();
    nqtest::RemoveTree(dir_);
  }

  std::string dir_;
  std::string file_;
};

#endif
