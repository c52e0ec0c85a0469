// The system-call path's tracer: the seccomp filter the program starts
// under, and the launcher's loop over the stops of every thread of every
// process the program starts. A call the filter stops is let run to its
// exit only when its record needs the result; signals, job control stops,
// forks, threads and execs go on as they would untraced.
#include "syscall_path.h"

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

#include "elf_file.h"
#include "supervise.h"
#include "syscall_records.h"

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
      uint64_t next = name_at + ((name_size + 3ull) & ~3ull) +
                      ((desc_size + 3ull) & ~3ull);
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
    fprintf(stderr, "netquill-run: cannot stop the program at its system "
            "calls: %s\n", strerror(errno));
    _exit(126);
  }
  raise(SIGSTOP);
}

// ---- The threads: each one's process, and the call it is inside.

struct Tracee {
  pid_t thread;
  pid_t process;
  bool in_call;  // stopped at a recorded call's entry, its exit to come
  CallAtEntry call;
};

Tracee *g_tracees;
size_t g_tracee_count, g_tracee_room;

pid_t ProcessFromProc(pid_t thread) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/status", thread);
  FILE *f = fopen(path, "r");
  pid_t tgid = thread;
  char line[128];
  while (f != nullptr && fgets(line, sizeof line, f) != nullptr) {
    if (sscanf(line, "Tgid: %d", &tgid) == 1) break;
  }
  if (f != nullptr) fclose(f);
  return tgid;
}

Tracee *FindTracee(pid_t thread) {
  for (size_t i = 0; i < g_tracee_count; ++i)
    if (g_tracees[i].thread == thread) return &g_tracees[i];
  return nullptr;
}

Tracee *TraceeOf(pid_t thread) {
  Tracee *t = FindTracee(thread);
  if (t != nullptr) return t;
  if (g_tracee_count == g_tracee_room) {
    size_t more = g_tracee_room == 0 ? 16 : g_tracee_room * 2;
    void *grown = realloc(g_tracees, more * sizeof *g_tracees);
    if (grown == nullptr) return nullptr;
    g_tracees = static_cast<Tracee *>(grown);
    g_tracee_room = more;
  }
  t = &g_tracees[g_tracee_count++];
  memset(t, 0, sizeof *t);
  t->thread = thread;
  t->process = ProcessFromProc(thread);
  return t;
}

void Forget(pid_t thread) {
  Tracee *t = FindTracee(thread);
  if (t == nullptr) return;
  ThreadEnded(t->thread, t->process);
  *t = g_tracees[--g_tracee_count];
}

void Resume(pid_t thread, __ptrace_request request, int signal = 0) {
  ptrace(request, thread, nullptr,
         reinterpret_cast<void *>(static_cast<long>(signal)));
}

// A process using io_uring is said once: its submissions never pass the
// filter.
void SayIoUring(const Tracee &t) {
  static pid_t said[64];
  for (pid_t p : said)
    if (p == t.process) return;
  memmove(said + 1, said, sizeof said - sizeof said[0]);
  said[0] = t.process;
  fprintf(stderr,
          "netquill-run: process %d sets up io_uring: the socket operations "
          "it submits there are not traced\n",
          t.process);
}

void AtEntry(Tracee *t) {
  __ptrace_syscall_info info;
  long size = ptrace(PTRACE_GET_SYSCALL_INFO, t->thread, sizeof info, &info);
  if (size > 0 && info.op == PTRACE_SYSCALL_INFO_SECCOMP) {
    t->call.number = static_cast<long>(info.seccomp.nr);
    for (int i = 0; i < 6; ++i) t->call.args[i] = info.seccomp.args[i];
    if (t->call.number == SYS_io_uring_setup) SayIoUring(*t);
    t->in_call = TakeEntry(t->thread, t->process, &t->call);
  }
  Resume(t->thread, t->in_call ? PTRACE_SYSCALL : PTRACE_CONT);
}

void AtExit(Tracee *t) {
  __ptrace_syscall_info info;
  long size = ptrace(PTRACE_GET_SYSCALL_INFO, t->thread, sizeof info, &info);
  if (t->in_call && size > 0 && info.op == PTRACE_SYSCALL_INFO_EXIT)
    WriteRecord(t->thread, t->process, t->call, info.exit.rval);
  t->in_call = false;
  Resume(t->thread, PTRACE_CONT);
}

bool IsStopSignal(int signal) {
  return signal == SIGSTOP || signal == SIGTSTP || signal == SIGTTIN ||
         signal == SIGTTOU;
}

// One ptrace event of thread t.
void AtEvent(Tracee *t, int event, int signal, pid_t program, bool *started) {
  unsigned long message = 0;
  switch (event) {
    case PTRACE_EVENT_SECCOMP:
      AtEntry(t);
      return;
    case PTRACE_EVENT_FORK:
    case PTRACE_EVENT_VFORK:
    case PTRACE_EVENT_CLONE: {
      ptrace(PTRACE_GETEVENTMSG, t->thread, nullptr, &message);
      Tracee *child = TraceeOf(static_cast<pid_t>(message));
      if (child != nullptr && child->process != t->process)
        ProcessStarted(child->process, t->process);
      Resume(t->thread, PTRACE_CONT);
      return;
    }
    case PTRACE_EVENT_EXEC:
      ptrace(PTRACE_GETEVENTMSG, t->thread, nullptr, &message);
      ProcessExeced(t->process, static_cast<pid_t>(message));
      if (t->thread == program) *started = true;
      Resume(t->thread, PTRACE_CONT);
      return;
    case PTRACE_EVENT_STOP:
      if (!IsStopSignal(signal)) {
        Resume(t->thread, PTRACE_CONT);
        return;
      }
      // A job control stop: it lasts until a SIGCONT. The launcher stops
      // with the program, as the shell waits for it, and continues it.
      Resume(t->thread, PTRACE_LISTEN);
      if (*started && t->thread == program && getpgid(program) == getpgrp()) {
        kill(getpid(), SIGSTOP);
        kill(program, SIGCONT);
      }
      return;
    default:
      Resume(t->thread, PTRACE_CONT);
  }
}

// Waits for every stop of every tracee until none is left; the program's
// wait status.
int TraceAll(pid_t program) {
  int program_status = 126 << 8;
  bool started = false;
  for (;;) {
    int status = 0;
    pid_t thread = waitpid(-1, &status, __WALL);
    if (thread < 0) {
      if (errno == EINTR) continue;
      return program_status;
    }
    if (WIFEXITED(status) || WIFSIGNALED(status)) {
      if (thread == program) program_status = status;
      Forget(thread);
      continue;
    }
    if (!WIFSTOPPED(status)) continue;
    Tracee *t = TraceeOf(thread);
    if (t == nullptr) {
      Resume(thread, PTRACE_CONT);
      continue;
    }
    int signal = WSTOPSIG(status);
    int event = status >> 16;
    if (event != 0) {
      AtEvent(t, event, signal, program, &started);
    } else if (signal == (SIGTRAP | 0x80)) {
      AtExit(t);
    } else {
      Resume(thread, PTRACE_CONT, signal);  // the program's own signal
    }
  }
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

int RunOnSyscalls(const char *program, char **argv,
                  const nqdrop::TraceEnv &env, int lost_fd) {
  StartRecords(env, lost_fd);
  pid_t child = StartChild(program, argv, FilterAndWait);
  if (child < 0) return 126 << 8;
  int status = 0;
  while (waitpid(child, &status, WUNTRACED) < 0 && errno == EINTR) {
  }
  if (!WIFSTOPPED(status)) return status;  // the filter was refused: said
  long options = PTRACE_O_TRACESECCOMP | PTRACE_O_TRACESYSGOOD |
                 PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK |
                 PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC |
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
  return TraceAll(child);
}

}  // namespace nqrun
