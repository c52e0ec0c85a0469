// The system-call path's tracer: the seccomp filter the program starts
// under, and the launcher's loop over the stops of every thread of every
// process the program starts. A call the filter stops is let run to its
// exit only when its record needs the result; signals, job control stops,
// forks, threads and execs go on as they would untraced.
#include "syscall_path.h"

#include <dirent.h>
#include <elf.h>
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "attach.h"
#include "elf_file.h"
#include "supervise.h"
#include "syscall_records.h"
#include "syscall_tracer.h"

namespace nqrun {
namespace {

#if defined(__x86_64__)
constexpr uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t kArch = AUDIT_ARCH_AARCH64;
#else
#error "the system-call path knows x86_64 and aarch64"
#endif

// Whether the ELF file carries a note of the Go toolchain (its build id,
// named "Go" with one or two NULs):
// a Go program makes its system calls itself.
bool HasGoNote(const ElfView &elf) {
  for (unsigned i = 0; i < elf.SegmentCount(); ++i) {
    ElfSegment s = elf.Segment(i);
    if (s.type != PT_NOTE) continue;
    const uint8_t *at = elf.At(s.offset, s.file_size);
    for (uint64_t off = 0; at != nullptr && off + 12 <= s.file_size;) {
      uint32_t name_size, desc_size;
      memcpy(&name_size, at + off, 4);
      memcpy(&desc_size, at + off + 4, 4);
      uint64_t name_at = off + 12;
      uint64_t next =
          name_at + ((name_size + 3ull) & ~3ull) + ((desc_size + 3ull) & ~3ull);
      if (next > s.file_size) break;
      if ((name_size == 3 || name_size == 4) &&
          memcmp(at + name_at, "Go", 3) == 0)
        return true;
      off = next;
    }
  }
  return false;
}

// The filter: the recorded calls and io_uring_setup stop for the tracer;
// every other call, and every call of another architecture's numbers, runs
// as it would.
bool InstallFilter() {
  int count = RecordedCallCount();
  sock_filter code[64];
  int n = 0;
  code[n++] = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch));
  code[n++] = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0);
  code[n++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
  code[n++] = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr));
  for (int i = 0; i <= count; ++i) {
    long number = i < count ? RecordedCall(i) : SYS_io_uring_setup;
    // To the last instruction when it matches: the one that stops.
    uint8_t to_stop = static_cast<uint8_t>(count - i + 1);
    code[n++] = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K,
                         static_cast<uint32_t>(number), to_stop, 0);
  }
  code[n++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
  code[n++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE);
  sock_fprog program = {static_cast<unsigned short>(n), code};
  if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0)
    return true;
  // Without the right to filter for others, a filter for oneself is had by
  // giving up gains of privilege at exec: ptrace gives them up anyway.
  if (errno != EACCES || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
    return false;
  return syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

// In the child, before its exec: the filter, then a stop for the launcher
// to take it as its tracer.
void FilterAndWait() {
  if (!InstallFilter()) {
    fprintf(stderr,
            "netquill-run: cannot stop the program at its system "
            "calls: %s\n",
            strerror(errno));
    _exit(126);
  }
  raise(SIGSTOP);
}

}  // namespace

const char *WhySyscallPath(const char *path) {
  MappedElf file(path);
  const ElfView &elf = file.View();
  if (!elf.Valid() || !elf.SegmentsFit()) return nullptr;
  bool dynamic = false;
  for (unsigned i = 0; i < elf.SegmentCount(); ++i)
    if (elf.Segment(i).type == PT_INTERP) dynamic = true;
  if (!dynamic) return "is statically linked";
  return HasGoNote(elf) ? "is a Go program" : nullptr;
}

int RunOnSyscalls(const char *program, char **argv, const nqdrop::TraceEnv &env,
                  int lost_fd) {
  StartRecords(env, lost_fd);
  pid_t child = StartChild(program, argv, FilterAndWait);
  if (child < 0) return 126 << 8;
  int status = 0;
  while (waitpid(child, &status, WUNTRACED) < 0 && errno == EINTR) {
  }
  if (!WIFSTOPPED(status)) return status;  // the filter was refused: said
  long options = PTRACE_O_TRACESECCOMP | PTRACE_O_TRACESYSGOOD |
                 PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK |
                 PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC | PTRACE_O_TRACEEXIT |
                 PTRACE_O_EXITKILL;
  if (ptrace(PTRACE_SEIZE, child, nullptr, reinterpret_cast<void *>(options)) !=
      0) {
    int error = errno;
    fprintf(stderr, "netquill-run: cannot trace %s: %s\n", argv[0],
            strerror(error));
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return 126 << 8;
  }
  kill(child, SIGCONT);
  static volatile sig_atomic_t never = 0;
  return TraceAll(child, &never);
}

namespace {

volatile sig_atomic_t g_leave;
volatile pid_t g_first;  // a tracee, once there is one

// Asks the session to end. The loop may be about to wait when the signal
// comes: the stop of a tracee interrupted here wakes it.
void OnLeave(int signal) {
  int saved = errno;
  g_leave = signal;
  if (g_first > 0) ptrace(PTRACE_INTERRUPT, g_first, nullptr, nullptr);
  errno = saved;
}

// Every thread of process pid, seized; threads started meanwhile are
// seized by the listing after. An errno, 0 when all are taken.
int SeizeProcess(pid_t pid) {
  constexpr long kOptions = PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEFORK |
                            PTRACE_O_TRACEVFORK | PTRACE_O_TRACECLONE |
                            PTRACE_O_TRACEEXEC | PTRACE_O_TRACEEXIT;
  char task[64];
  snprintf(task, sizeof task, "/proc/%d/task", static_cast<int>(pid));
  for (bool more = true; more;) {
    more = false;
    DIR *dir = opendir(task);
    if (dir == nullptr) return errno;
    while (const dirent *entry = readdir(dir)) {
      pid_t tid = static_cast<pid_t>(atoi(entry->d_name));
      if (tid <= 0 || IsTracee(tid)) continue;
      if (SeizeThread(tid, kOptions)) {
        more = true;
      } else if (errno != ESRCH || tid == pid) {  // a thread may just end
        int error = errno;
        closedir(dir);
        return error;
      }
    }
    closedir(dir);
  }
  return 0;
}

}  // namespace

int AttachOnSyscalls(const pid_t *pids, int count, const nqdrop::TraceEnv &env,
                     int lost_fd) {
  StartRecords(env, lost_fd);
  RecogniseSockets();
  StopAtEveryCall(true);
  struct sigaction leave = {};
  leave.sa_handler = OnLeave;  // without SA_RESTART: the wait returns
  constexpr int kLeaves[] = {SIGINT, SIGTERM, SIGHUP};
  for (int signal : kLeaves) sigaction(signal, &leave, nullptr);
  int code = 0, attached = 0;
  for (int i = 0; i < count && g_leave == 0; ++i) {
    code = CheckAttachable(pids[i]);
    if (code != 0) break;
    int error = SeizeProcess(pids[i]);
    if (error != 0) {
      fprintf(stderr,
              error == ESRCH || error == ENOENT
                  ? "netquill-run: no process %d\n"
                  : "netquill-run: not permitted to trace process "
                    "%d (ptrace: %s; see "
                    "/proc/sys/kernel/yama/ptrace_scope, or run as "
                    "its user or root)\n",
              static_cast<int>(pids[i]), strerror(error));
      code = 2;
      break;
    }
    ++attached;
    g_first = pids[0];
    fprintf(stderr, "netquill-run: attached to %d\n",
            static_cast<int>(pids[i]));
  }
  if (code == 0 && attached > 0) TraceAll(pids[0], &g_leave);
  ReleaseAll();
  for (int i = 0; i < attached; ++i)
    if (kill(pids[i], 0) == 0)
      fprintf(stderr, "netquill-run: detached from %d\n",
              static_cast<int>(pids[i]));
  return code;
}

}  // namespace nqrun
