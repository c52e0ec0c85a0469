// The ring of records' questions to Linux (ring_os.h).
#include "ring_os.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace nqring {

bool ThreadRuns(std::uint32_t pid, std::uint32_t tid) {
  if (syscall(SYS_tgkill, pid, tid, 0) != 0) return errno == EPERM;
  // A killed process's threads answer until it is reaped: its state says.
  char path[64];
  snprintf(path, sizeof path, "/proc/%u/task/%u/stat", pid, tid);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno != ENOENT;
  char stat[512];
  const ssize_t n = read(fd, stat, sizeof stat - 1);
  close(fd);
  if (n <= 0) return false;
  stat[n] = '\0';
  const char *end = strrchr(stat, ')');  // the name may hold anything
  if (end == nullptr || end[1] != ' ') return true;
  return end[2] != 'Z' && end[2] != 'X' && end[2] != 'x';
}

std::int64_t MonotonicNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000000ll + now.tv_nsec;
}

std::uint32_t OwnProcessId() { return static_cast<std::uint32_t>(getpid()); }

std::uint32_t OwnThreadId() {
  return static_cast<std::uint32_t>(syscall(SYS_gettid));
}

void PauseBriefly() {
  const struct timespec pause = {0, 1000 * 1000};
  nanosleep(&pause, nullptr);
}

}  // namespace nqring
