#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "entries/posix_entries.h"
#include "spawn.h"

namespace nqstress {
namespace {

constexpr int kWaitMs = 120000;

}  // namespace

intptr_t SpawnChild(const std::vector<std::string> &args) {
  fflush(nullptr);  // or the child would print the parent's buffered output
  pid_t pid = fork();
  if (pid == 0) _exit(ChildMain(args));
  return pid < 0 ? -1 : static_cast<intptr_t>(pid);
}

int WaitChild(intptr_t child) {
  int status = 0;
  pid_t pid = static_cast<pid_t>(child);
  for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; waited += 5) {
    if (waited >= kWaitMs) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    usleep(5000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HoldTraceFile(const std::string &path) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  return fd >= 0 && NQP_HoldTraceFile(path.c_str(), fd) == 1;
}

}  // namespace nqstress
