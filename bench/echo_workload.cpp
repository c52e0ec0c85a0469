// A loopback request/response workload with every socket call handed to its
// hook, for comparing the cost of this library's trace with strace's, and
// with the hooks left out, for measuring what an interposer (netquill-run,
// the drop-in WSOCK32.DLL) adds to a program that knows nothing of them.
//
//   nq_echo_workload bare|off|lines|dumps [round_trips] [trace_file]
//
// A client thread sends a 64-byte request and receives the 64-byte reply;
// a server thread receives the request and sends it back: four socket
// calls per round trip. "bare" calls no hook, "off" traces nothing (the
// hooks still run), "lines" traces both threads to trace_file with flags 0,
// "dumps" with flags 4. Prints the time of the round trips alone, in
// nanoseconds.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>

#include "net_shim.h"
#include "netquill.h"

namespace {

constexpr size_t kMessage = 64;

struct Options {
  uint32_t flags = 0;
  bool trace = false;
  bool hooks = true;
  long rounds = 20000;
  std::string file = "echo.trace";
};

void Fail(const char *what) {
  fprintf(stderr, "nq_echo_workload: %s: error %d\n", what, NqNetLastError());
  exit(1);
}

// Moves exactly kMessage bytes, one hooked call per system call.
bool SendAll(const Options &opt, NQ_SOCKET fd, const char *buf) {
  size_t done = 0;
  while (done < kMessage) {
    NQ_IORESULT n = send(fd, buf + done, kMessage - done, 0);
    if (opt.hooks) n = TX_send(n, fd, buf + done, kMessage - done, 0);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool RecvAll(const Options &opt, NQ_SOCKET fd, char *buf) {
  size_t done = 0;
  while (done < kMessage) {
    NQ_IORESULT n = recv(fd, buf + done, kMessage - done, 0);
    if (opt.hooks) n = TX_recv(n, fd, buf + done, kMessage - done, 0);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void NoDelay(const Options &opt, NQ_SOCKET fd) {
  int on = 1;
  const char *value = reinterpret_cast<const char *>(&on);
  int level = IPPROTO_TCP, name = NqNetNoDelayOption();
  int r = setsockopt(fd, level, name, value, sizeof on);
  if (opt.hooks) TX_setsockopt(r, fd, level, name, value, sizeof on);
}

void Serve(const Options &opt, NQ_SOCKET listener) {
  if (opt.trace) WSAEnableTrace(opt.file.c_str(), opt.flags);
  struct sockaddr_in peer;
  NQ_SOCKLEN peer_len = sizeof peer;
  auto *pa = reinterpret_cast<struct sockaddr *>(&peer);
  NQ_SOCKET fd = accept(listener, pa, &peer_len);
  if (opt.hooks) fd = TX_accept(fd, listener, pa, &peer_len);
  if (NqNetIsInvalid(fd)) Fail("accept");
  NoDelay(opt, fd);
  char buf[kMessage];
  for (long i = 0; i < opt.rounds; ++i) {
    if (!RecvAll(opt, fd, buf) || !SendAll(opt, fd, buf))
      Fail("server exchange");
  }
  int r = NqNetClose(fd);
  if (opt.hooks) TX_closesocket(r, fd);
  if (opt.trace) WSADisableTrace();
}

}  // namespace

int main(int argc, char **argv) {
  Options opt;
  std::string mode = argc > 1 ? argv[1] : "off";
  if (mode == "bare") {
    opt.hooks = false;
  } else if (mode == "lines") {
    opt.trace = true;
  } else if (mode == "dumps") {
    opt.trace = true;
    opt.flags = TRACE_FLAG_DUMP;
  } else if (mode != "off") {
    fprintf(stderr,
            "usage: %s bare|off|lines|dumps [round_trips] [trace_file]\n",
            argv[0]);
    return 2;
  }
  if (argc > 2) opt.rounds = atol(argv[2]);
  if (argc > 3) opt.file = argv[3];

  NqNetStartup();
  if (opt.hooks) {
    TraceErrorHooks bridge = NqNetErrorBridge();
    WSASetupTrace(&bridge);
  }
  if (opt.trace) WSAEnableTrace(opt.file.c_str(), opt.flags);

  NQ_SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
  if (opt.hooks) listener = TX_socket(listener, AF_INET, SOCK_STREAM, 0);
  if (NqNetIsInvalid(listener)) Fail("socket");
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  NQ_SOCKLEN len = sizeof addr;
  auto *sa = reinterpret_cast<struct sockaddr *>(&addr);
  int r = bind(listener, sa, len);
  if (opt.hooks) r = TX_bind(r, listener, sa, len);
  if (r != 0) Fail("bind");
  r = listen(listener, 1);
  if (opt.hooks) r = TX_listen(r, listener, 1);
  if (r != 0) Fail("listen");
  r = getsockname(listener, sa, &len);
  if (opt.hooks) r = TX_getsockname(r, listener, sa, &len);
  if (r != 0) Fail("getsockname");
  std::thread server(Serve, std::cref(opt), listener);

  NQ_SOCKET fd = socket(AF_INET, SOCK_STREAM, 0);
  if (opt.hooks) fd = TX_socket(fd, AF_INET, SOCK_STREAM, 0);
  if (NqNetIsInvalid(fd)) Fail("socket");
  r = connect(fd, sa, len);
  if (opt.hooks) r = TX_connect(r, fd, sa, len);
  if (r != 0) Fail("connect");
  NoDelay(opt, fd);
  char request[kMessage], reply[kMessage];
  for (size_t i = 0; i < kMessage; ++i) {
    request[i] = static_cast<char>(i % 5 == 4 ? i : 'A' + i % 26);
  }

  auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < opt.rounds; ++i) {
    if (!SendAll(opt, fd, request) || !RecvAll(opt, fd, reply))
      Fail("client exchange");
  }
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::steady_clock::now() - start)
                .count();
  if (memcmp(request, reply, kMessage) != 0) Fail("reply differs");

  server.join();
  r = NqNetClose(fd);
  if (opt.hooks) TX_closesocket(r, fd);
  r = NqNetClose(listener);
  if (opt.hooks) TX_closesocket(r, listener);
  if (opt.trace) WSADisableTrace();
  printf("%lld\n", static_cast<long long>(ns));
  return 0;
}
