// netquill-run -p's stop: a forked echo server under load from a client
// thread (64-byte round trips without pause), attached to and detached
// from 20 times; prints the median time the thread that loaded the
// interposer stood still, with the first (which loads it) and the longest.
// Goal: a median of at most 50 ms.
//
//   nq_bench_attach [attaches]
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "attach.h"
#include "attach_params.h"

namespace {

std::atomic<bool> g_done;

[[noreturn]] void Serve(int listener) {
  for (;;) {
    int c = accept(listener, nullptr, nullptr);
    char buf[64];
    ssize_t n;
    while ((n = recv(c, buf, sizeof buf, 0)) > 0) send(c, buf, n, 0);
    close(c);
  }
}

long Load(sockaddr_in to) {
  int c = socket(AF_INET, SOCK_STREAM, 0);
  if (connect(c, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) return 0;
  char buf[64] = {};
  long trips = 0;
  while (!g_done.load()) {
    if (send(c, buf, sizeof buf, 0) != sizeof buf) break;
    size_t got = 0;
    while (got < sizeof buf) {
      ssize_t n = recv(c, buf + got, sizeof buf - got, 0);
      if (n <= 0) return trips;
      got += static_cast<size_t>(n);
    }
    ++trips;
  }
  close(c);
  return trips;
}

}  // namespace

int main(int argc, char **argv) {
  int attaches = argc > 1 ? atoi(argv[1]) : 20;
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at = {};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof at;
  if (bind(listener, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0 ||
      listen(listener, 4) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr *>(&at), &len) != 0) {
    return 1;
  }
  pid_t server = fork();
  if (server == 0) Serve(listener);
  long trips = 0;
  std::thread load([&] { trips = Load(at); });
  char trace[] = "/tmp/nq-bench-attach-XXXXXX";
  int fd = mkstemp(trace);
  close(fd);
  nqrun::AttachParams params = {};
  params.size = sizeof params;
  memcpy(params.path, trace, sizeof trace);
  std::vector<double> ms;
  int code = 0;
  for (int i = 0; i < attaches && code == 0; ++i) {
    uint64_t stopped = 0;
    code = nqrun::AttachProcess(server, NQ_PRELOAD_PATH, params, &stopped);
    ms.push_back(static_cast<double>(stopped) / 1e6);
    usleep(20000);
    if (!nqrun::DetachProcess(server, NQ_PRELOAD_PATH)) code = 1;
    usleep(20000);
  }
  g_done = true;
  kill(server, SIGKILL);
  load.join();
  waitpid(server, nullptr, 0);
  unlink(trace);
  if (code != 0 || ms.empty()) return 1;
  double first = ms[0];
  std::sort(ms.begin(), ms.end());
  double median = ms[ms.size() / 2];
  printf(
      "attach stop over %zu attaches under load (%ld round trips): "
      "median %.2f ms, first %.2f ms, longest %.2f ms; goal: median at "
      "most 50 ms: %s\n",
      ms.size(), trips, median, first, ms.back(),
      median <= 50 ? "met" : "MISSED");
  return median <= 50 ? 0 : 1;
}
