#include <stdio.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "privilege.h"

namespace nqstress {
namespace {

constexpr uid_t kNobody = 65534;
constexpr int kBias = 100;  // exit codes carry fn's result plus this

}  // namespace

int RunUnprivileged(int (*fn)(const std::string &), const std::string &arg) {
  if (geteuid() != 0) return fn(arg);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return kCannotDropPrivileges;
  if (pid == 0) {
    if (setgid(kNobody) != 0 || setuid(kNobody) != 0) {
      _exit(kBias + kCannotDropPrivileges);
    }
    _exit(kBias + fn(arg));
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) - kBias : -1;
}

}  // namespace nqstress
