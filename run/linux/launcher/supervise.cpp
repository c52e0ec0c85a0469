// The launcher as the program's parent: the child and its waiting.
#include "supervise.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "launcher_core.h"
#include "trace_env.h"

namespace nqrun {
namespace {

// Signals that ask a program to end or to act, passed on to it when a
// process sends them to the launcher. Those the terminal sends went to the
// whole foreground process group, the program with it unless it left the
// group (setsid): passed on only then, never twice. The stop signals are
// left as they are, so that job control stops and continues both
// processes together.
constexpr int kPassedOn[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,
                             SIGUSR1, SIGUSR2, SIGALRM, SIGWINCH};

volatile sig_atomic_t g_child = 0;

void PassOn(int signal, siginfo_t *info, void *) {
  if (g_child <= 0) return;
  int saved = errno;
  bool sent = info->si_code == SI_USER || info->si_code == SI_QUEUE ||
              info->si_code == SI_TKILL;
  // The program signalling its own process group reached itself already.
  bool reached = sent ? info->si_pid == g_child : getpgid(g_child) == getpgrp();
  if (!reached) kill(g_child, signal);
  errno = saved;
}

void Blocked(sigset_t *set) {
  sigemptyset(set);
  for (int signal : kPassedOn) sigaddset(set, signal);
}

}  // namespace

NQP_LostRecords *ShareLostCount() {
  unsetenv(nqdrop::kLostVariable);  // never one of an outer launcher's
  int fd = memfd_create("netquill-lost", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return nullptr;
  void *at = MAP_FAILED;
  struct rlimit files;
  int high = -1;
  if (ftruncate(fd, sizeof(NQP_LostRecords)) == 0 &&
      fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) == 0 &&
      getrlimit(RLIMIT_NOFILE, &files) == 0) {
    at = mmap(nullptr, sizeof(NQP_LostRecords), PROT_READ | PROT_WRITE,
              MAP_SHARED, fd, 0);
    // Beside the held trace file, at the top of the numbers programs use.
    rlim_t limit = files.rlim_cur < 1024 ? files.rlim_cur : 1024;
    if (at != MAP_FAILED)
      high = fcntl(fd, F_DUPFD, static_cast<int>(limit / 4 * 3));
  }
  close(fd);
  if (high < 0) {
    if (at != MAP_FAILED) munmap(at, sizeof(NQP_LostRecords));
    return nullptr;
  }
  auto *lost = static_cast<NQP_LostRecords *>(at);
  memcpy(lost->magic, NQP_LOST_MAGIC, sizeof lost->magic);
  char number[16];
  snprintf(number, sizeof number, "%d", high);
  setenv(nqdrop::kLostVariable, number, 1);
  return lost;
}

void ExecProgram(const char *program, char **argv) {
  if (program != nullptr) execv(program, argv);
  execvp(argv[0], argv);
  int error = errno;
  fprintf(stderr, "netquill-run: cannot run %s: %s\n", argv[0],
          strerror(error));
  _exit(error == ENOENT ? 127 : 126);
}

pid_t StartChild(const char *program, char **argv, void (*before_exec)()) {
  sigset_t passed, old;
  Blocked(&passed);
  sigprocmask(SIG_BLOCK, &passed, &old);
  // A SIGCHLD ignored by whoever started the launcher would have the child
  // reaped unseen, its status lost: the launcher takes the default, the
  // program gets what it was given.
  struct sigaction reap = {}, given;
  reap.sa_handler = SIG_DFL;
  sigaction(SIGCHLD, &reap, &given);
  // A parent-death signal the launcher was started with (a supervisor's
  // PR_SET_PDEATHSIG) is the program's: the supervisor's end ends the
  // launcher, and the launcher's end the program, as the supervisor's end
  // ended the program untraced.
  int death = 0;
  prctl(PR_GET_PDEATHSIG, &death);
  pid_t launcher = getpid();
  pid_t child = fork();
  if (child == 0) {
    if (death != 0) {
      prctl(PR_SET_PDEATHSIG, death);
      if (getppid() != launcher) raise(death);  // gone already
    }
    before_exec();
    sigaction(SIGCHLD, &given, nullptr);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    ExecProgram(program, argv);
  }
  if (child < 0) {
    int error = errno;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    fprintf(stderr, "netquill-run: cannot run %s: %s\n", argv[0],
            strerror(error));
    return -1;
  }
  g_child = child;
  struct sigaction pass = {};
  pass.sa_sigaction = PassOn;
  pass.sa_flags = SA_SIGINFO | SA_RESTART;
  sigfillset(&pass.sa_mask);
  for (int signal : kPassedOn) sigaction(signal, &pass, nullptr);
  sigprocmask(SIG_SETMASK, &old, nullptr);
  return child;
}

int RunChild(const char *program, char **argv, void (*before_exec)()) {
  pid_t child = StartChild(program, argv, before_exec);
  if (child < 0) return 126 << 8;
  int status = 0;
  for (;;) {
    if (waitpid(child, &status, WUNTRACED) < 0) {
      if (errno != EINTR) return 126 << 8;
    } else if (!WIFSTOPPED(status)) {
      return status;
    } else if (getpgid(child) == getpgrp()) {
      // The program stopped (a SIGTSTP it sent itself): so does the
      // launcher, which the shell waits for, and the job shows stopped;
      // continued, it continues the program.
      kill(getpid(), SIGSTOP);
      kill(child, SIGCONT);
    }
  }
}

void AdoptOrphans() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

void WaitForOrphans() {
  g_child = 0;
  struct sigaction fallback = {};
  fallback.sa_handler = SIG_DFL;
  for (int signal : kPassedOn) sigaction(signal, &fallback, nullptr);
  for (;;) {
    if (waitpid(-1, nullptr, 0) < 0 && errno != EINTR) return;  // ECHILD
  }
}

void SayLost(const NQP_LostRecords *lost, const char *trace, bool per_process) {
  if (lost == nullptr) return;
  char report[sizeof "netquill-run: ..." + 2 * nqdrop::kTracePathSize];
  nqdrop::LostRecordsReport(__atomic_load_n(&lost->lost, __ATOMIC_ACQUIRE),
                            trace, per_process, report, sizeof report);
  fputs(report, stderr);
}

void EndAs(int status) {
  if (WIFSIGNALED(status)) {
    int signal = WTERMSIG(status);
    // The program left its own core dump, if any: none over it.
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
    fflush(nullptr);
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigaction(signal, &fallback, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    // Should the signal not end this process, the shell's number for it.
    exit(128 + signal);
  }
  exit(WEXITSTATUS(status));
}

}  // namespace nqrun
