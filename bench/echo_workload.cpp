// A loopback request/response workload with every socket call handed to its
// hook, for comparing the cost of this library's trace with strace's.
//
//   nq_echo_workload off|lines|dumps [round_trips] [trace_file]
//
// A client thread sends a 64-byte request and receives the 64-byte reply;
// a server thread receives the request and sends it back: four socket
// calls per round trip. "off" traces nothing (the hooks still run), "lines"
// traces both threads to trace_file with flags 0, "dumps" with flags 4.
// Prints the time of the round trips alone, in nanoseconds.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "netquill.h"

namespace {

constexpr size_t kMessage = 64;

int NQ_CALL GetErrno() { return errno; }
void NQ_CALL SetErrno(int code) { errno = code; }

struct Options {
  uint32_t flags = 0;
  bool trace = false;
  long rounds = 20000;
  std::string file = "echo.trace";
};

void Fail(const char *what) {
  fprintf(stderr, "nq_echo_workload: %s: %s\n", what, strerror(errno));
  exit(1);
}

// Moves exactly kMessage bytes, one hooked call per system call.
bool SendAll(int fd, const char *buf) {
  size_t done = 0;
  while (done < kMessage) {
    ssize_t n = TX_send(send(fd, buf + done, kMessage - done, 0), fd,
                        buf + done, kMessage - done, 0);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool RecvAll(int fd, char *buf) {
  size_t done = 0;
  while (done < kMessage) {
    ssize_t n = TX_recv(recv(fd, buf + done, kMessage - done, 0), fd,
                        buf + done, kMessage - done, 0);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void NoDelay(int fd) {
  int on = 1;
  TX_setsockopt(setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on), fd,
                IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void Serve(const Options &opt, int listener) {
  if (opt.trace) WSAEnableTrace(opt.file.c_str(), opt.flags);
  struct sockaddr_in peer;
  socklen_t peer_len = sizeof peer;
  int fd = TX_accept(
      accept(listener, reinterpret_cast<struct sockaddr *>(&peer), &peer_len),
      listener, reinterpret_cast<struct sockaddr *>(&peer), &peer_len);
  if (fd < 0) Fail("accept");
  NoDelay(fd);
  char buf[kMessage];
  for (long i = 0; i < opt.rounds; ++i) {
    if (!RecvAll(fd, buf) || !SendAll(fd, buf)) Fail("server exchange");
  }
  TX_closesocket(close(fd), fd);
  if (opt.trace) WSADisableTrace();
}

}  // namespace

int main(int argc, char **argv) {
  Options opt;
  std::string mode = argc > 1 ? argv[1] : "off";
  if (mode == "lines") {
    opt.trace = true;
  } else if (mode == "dumps") {
    opt.trace = true;
    opt.flags = TRACE_FLAG_DUMP;
  } else if (mode != "off") {
    fprintf(stderr, "usage: %s off|lines|dumps [round_trips] [trace_file]\n",
            argv[0]);
    return 2;
  }
  if (argc > 2) opt.rounds = atol(argv[2]);
  if (argc > 3) opt.file = argv[3];

  TraceErrorHooks bridge = {GetErrno, SetErrno};
  WSASetupTrace(&bridge);
  if (opt.trace) WSAEnableTrace(opt.file.c_str(), opt.flags);

  int listener =
      TX_socket(socket(AF_INET, SOCK_STREAM, 0), AF_INET, SOCK_STREAM, 0);
  if (listener < 0) Fail("socket");
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  auto *sa = reinterpret_cast<struct sockaddr *>(&addr);
  if (TX_bind(bind(listener, sa, len), listener, sa, len) != 0) Fail("bind");
  if (TX_listen(listen(listener, 1), listener, 1) != 0) Fail("listen");
  if (TX_getsockname(getsockname(listener, sa, &len), listener, sa, &len) != 0)
    Fail("getsockname");
  std::thread server(Serve, std::cref(opt), listener);

  int fd = TX_socket(socket(AF_INET, SOCK_STREAM, 0), AF_INET, SOCK_STREAM, 0);
  if (fd < 0) Fail("socket");
  if (TX_connect(connect(fd, sa, len), fd, sa, len) != 0) Fail("connect");
  NoDelay(fd);
  char request[kMessage], reply[kMessage];
  for (size_t i = 0; i < kMessage; ++i) {
    request[i] = static_cast<char>(i % 5 == 4 ? i : 'A' + i % 26);
  }

  auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < opt.rounds; ++i) {
    if (!SendAll(fd, request) || !RecvAll(fd, reply)) Fail("client exchange");
  }
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::steady_clock::now() - start)
                .count();
  if (memcmp(request, reply, kMessage) != 0) Fail("reply differs");

  server.join();
  TX_closesocket(close(fd), fd);
  TX_closesocket(close(listener), listener);
  if (opt.trace) WSADisableTrace();
  printf("%lld\n", static_cast<long long>(ns));
  return 0;
}
