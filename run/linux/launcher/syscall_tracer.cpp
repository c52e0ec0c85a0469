// The tracer's loop on the system-call path. Each thread is a tracee with
// its process and the call it is inside; a call is recorded at its exit
// only when its entry asked for the exit stop.
#include "syscall_tracer.h"

#include <elf.h>
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include "grow_array.h"
#include "syscall_records.h"

namespace nqrun {
namespace {

// ---- The threads: each one's process, and the call it is inside.

struct Tracee {
  pid_t thread;
  pid_t process;
  bool in_call;  // stopped at a recorded call's entry, its exit to come
  CallAtEntry call;
  uint64_t call_at;  // the instruction after its system call instruction
  // A recorded call a signal broke off with a code to make it again: the
  // kernel makes it again (its entry comes back), or hands the program
  // EINTR once a handler returns (rt_sigreturn says which).
  bool broken_off;
  bool in_sigreturn;
  CallAtEntry broken;
  uint64_t broken_at;
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
  if (!GrowArray(&g_tracees, g_tracee_count, &g_tracee_room)) return nullptr;
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

__ptrace_request g_onward = PTRACE_CONT;

// How thread t goes on: to every entry and exit while a broken-off call
// waits for its verdict.
__ptrace_request Onward(const Tracee *t) {
  return t->broken_off ? PTRACE_SYSCALL : g_onward;
}

// The codes of a call the kernel may make again once a signal is handled
// (ERESTARTSYS, ERESTARTNOINTR, ERESTARTNOHAND, ERESTART_RESTARTBLOCK).
bool BrokenOff(long result) { return result <= -512 && result >= -516; }

// An entry while a broken-off call waits: the same call at the same place
// is the kernel's making it again, whose exit records it; rt_sigreturn
// ends a handler, whose exit says whether the program got EINTR.
void Verdict(Tracee *t, unsigned long number, uint64_t at) {
  if (!t->broken_off) return;
  if (number == SYS_rt_sigreturn) {
    t->in_sigreturn = true;
  } else if (static_cast<long>(number) == t->broken.number &&
             at == t->broken_at) {
    t->broken_off = false;
  } else if (number == SYS_restart_syscall) {
    t->broken_off = false;
  }
}

// A call's entry: from the filter's stop, or, attached, from any call's.
void AtEntry(Tracee *t, unsigned long number, const uint64_t args[6],
             uint64_t at) {
  t->call.number = static_cast<long>(number);
  for (int i = 0; i < 6; ++i) t->call.args[i] = args[i];
  t->call_at = at;
  if (t->call.number == SYS_io_uring_setup) SayIoUring(*t);
  t->in_call = TakeEntry(t->thread, t->process, &t->call);
  Resume(t->thread, t->in_call || t->in_sigreturn ? PTRACE_SYSCALL : Onward(t));
}

// The exit of rt_sigreturn after a broken-off call: EINTR in the restored
// result is the call's, which the program now sees; anything else is the
// call made again.
bool AtSigreturnExit(Tracee *t, long restored) {
  t->in_sigreturn = false;
  if (!t->broken_off) return false;
  t->broken_off = false;
  if (restored != -EINTR) return false;
  WriteRecord(t->thread, t->process, t->broken, -EINTR);
  return true;
}

// A system-call stop: an entry when attached, else the exit of the call
// whose entry asked for it.
void AtSyscallStop(Tracee *t) {
  __ptrace_syscall_info info;
  long size = ptrace(PTRACE_GET_SYSCALL_INFO, t->thread, sizeof info, &info);
  if (size > 0 && info.op == PTRACE_SYSCALL_INFO_ENTRY) {
    Verdict(t, info.entry.nr, info.instruction_pointer);
    // Under the filter its own stop follows for a recorded call.
    if (g_onward == PTRACE_SYSCALL || t->in_sigreturn)
      AtEntry(t, info.entry.nr, info.entry.args, info.instruction_pointer);
    else
      Resume(t->thread, Onward(t));
    return;
  }
  // A thread that could not be read is dying: its exit stop may yet
  // recover the call.
  if (size <= 0) {
    Resume(t->thread, Onward(t));
    return;
  }
  bool recorded = false;
  if (info.op == PTRACE_SYSCALL_INFO_EXIT && t->in_sigreturn) {
    recorded = AtSigreturnExit(t, info.exit.rval);
  } else if (info.op == PTRACE_SYSCALL_INFO_EXIT && t->in_call &&
             BrokenOff(info.exit.rval)) {
    t->broken = t->call;
    t->broken_at = t->call_at;
    t->broken_off = true;
  } else if (info.op == PTRACE_SYSCALL_INFO_EXIT && t->in_call) {
    WriteRecord(t->thread, t->process, t->call, info.exit.rval);
    recorded = true;
  }
  t->in_call = false;
  Resume(t->thread, Onward(t));
  if (recorded) WriteHeldRecords();  // while the thread runs on
}

// A set-user-ID or set-group-ID program gets no rights under a tracer:
// said, as it may now fail where it would not untraced.
void SayWithoutRights(pid_t process) {
  char exe[64];
  snprintf(exe, sizeof exe, "/proc/%d/exe", process);
  struct stat st;
  if (stat(exe, &st) != 0) return;
  bool uid = (st.st_mode & S_ISUID) && st.st_uid != geteuid();
  bool gid = (st.st_mode & S_ISGID) && st.st_gid != getegid();
  if (!uid && !gid) return;
  char program[256];
  ssize_t n = readlink(exe, program, sizeof program - 1);
  program[n > 0 ? n : 0] = '\0';
  fprintf(stderr,
          "netquill-run: process %d runs %s, set-%s-ID, without its rights: "
          "a traced program gets none\n",
          process, program, uid ? "user" : "group");
}

// A thread that ends inside a recorded call (another thread's exit_group
// killed it before its exit stop): a call the kernel completed, which moved
// its bytes, still gets its record, with the result its registers hold.
void AtThreadExit(Tracee *t) {
#if defined(__x86_64__)
  user_regs_struct r;
  iovec regs = {&r, sizeof r};
  if (t->in_call &&
      ptrace(PTRACE_GETREGSET, t->thread, NT_PRSTATUS, &regs) == 0 &&
      static_cast<long>(r.orig_rax) == t->call.number &&
      static_cast<long>(r.rax) >= 0) {
    WriteRecord(t->thread, t->process, t->call, static_cast<long>(r.rax));
  }
#endif
  bool recorded = t->in_call;
  t->in_call = false;
  Resume(t->thread, PTRACE_CONT);
  if (recorded) WriteHeldRecords();
}

bool IsStopSignal(int signal) {
  return signal == SIGSTOP || signal == SIGTSTP || signal == SIGTTIN ||
         signal == SIGTTOU;
}

// One ptrace event of thread t.
void AtEvent(Tracee *t, int event, int signal, pid_t program, bool *started) {
  unsigned long message = 0;
  switch (event) {
    case PTRACE_EVENT_SECCOMP: {
      __ptrace_syscall_info info;
      if (ptrace(PTRACE_GET_SYSCALL_INFO, t->thread, sizeof info, &info) > 0 &&
          info.op == PTRACE_SYSCALL_INFO_SECCOMP) {
        AtEntry(t, info.seccomp.nr, info.seccomp.args,
                info.instruction_pointer);
      } else {
        Resume(t->thread, Onward(t));
      }
      return;
    }
    case PTRACE_EVENT_FORK:
    case PTRACE_EVENT_VFORK:
    case PTRACE_EVENT_CLONE: {
      ptrace(PTRACE_GETEVENTMSG, t->thread, nullptr, &message);
      Tracee *child = TraceeOf(static_cast<pid_t>(message));
      if (child != nullptr && child->process != t->process)
        ProcessStarted(child->process, t->process);
      Resume(t->thread, Onward(t));
      return;
    }
    case PTRACE_EVENT_EXEC:
      ptrace(PTRACE_GETEVENTMSG, t->thread, nullptr, &message);
      ProcessExeced(t->process, static_cast<pid_t>(message));
      // A thread other than the first made the exec, and took its id.
      if (static_cast<pid_t>(message) != t->thread) {
        Tracee *former = FindTracee(static_cast<pid_t>(message));
        if (former != nullptr) *former = g_tracees[--g_tracee_count];
        t = FindTracee(t->thread);
      }
      SayWithoutRights(t->process);
      if (t->thread == program) *started = true;
      Resume(t->thread, Onward(t));
      return;
    case PTRACE_EVENT_EXIT:
      AtThreadExit(t);
      return;
    case PTRACE_EVENT_STOP:
      if (!IsStopSignal(signal)) {
        Resume(t->thread, Onward(t));
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
      Resume(t->thread, Onward(t));
  }
}

// Waits for every stop of every tracee until none is left, or, attached,
// until a signal asks to leave; the program's wait status.
}  // namespace

void StopAtEveryCall(bool every) {
  g_onward = every ? PTRACE_SYSCALL : PTRACE_CONT;
}

int TraceAll(pid_t program, volatile sig_atomic_t *leave) {
  int program_status = 126 << 8;
  bool started = false;
  while (*leave == 0) {
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
      AtSyscallStop(t);
    } else {
      Resume(thread, Onward(t), signal);  // the program's own signal
    }
  }
  return program_status;
}

bool SeizeThread(pid_t thread, long options) {
  if (ptrace(PTRACE_SEIZE, thread, nullptr,
             reinterpret_cast<void *>(options)) != 0)
    return false;
  TraceeOf(thread);
  ptrace(PTRACE_INTERRUPT, thread, nullptr, nullptr);
  return true;
}

bool IsTracee(pid_t thread) { return FindTracee(thread) != nullptr; }

int ReleaseAll() {
  for (size_t i = 0; i < g_tracee_count; ++i)
    ptrace(PTRACE_INTERRUPT, g_tracees[i].thread, nullptr, nullptr);
  int processes = 0;
  while (g_tracee_count > 0) {
    int status = 0;
    pid_t thread = waitpid(-1, &status, __WALL);
    if (thread < 0) {
      if (errno == EINTR) continue;
      break;
    }
    Tracee *t = FindTracee(thread);
    if (t == nullptr) continue;
    if (WIFSTOPPED(status)) {
      // A signal on its way to the program goes with it; any other stop is
      // the tracer's own.
      int signal = WSTOPSIG(status);
      bool delivery = (status >> 16) == 0 && signal != (SIGTRAP | 0x80);
      ptrace(
          PTRACE_DETACH, thread, nullptr,
          reinterpret_cast<void *>(static_cast<long>(delivery ? signal : 0)));
      if (t->thread == t->process) ++processes;
    }
    Forget(thread);
  }
  return processes;
}

}  // namespace nqrun
