// ptrace on x86-64. A thread stopped by PTRACE_INTERRUPT inside a blocking
// system call stands in the kernel with the call's restart pending (its
// result register holds one of the ERESTART codes): the injected calls run
// with orig_rax at -1, so that the kernel restarts nothing under them, and
// the registers put back at the end bring the restart back, as if the
// thread had never left its call. epoll_wait, which reports any stop as
// EINTR, is restarted by hand. A thread found running its own code (it may
// hold a lock of the C library's that the calls need) is let go for a
// millisecond and stopped again.
#include "remote_call.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace nqrun {
namespace {

#if defined(__x86_64__)
using Registers = user_regs_struct;
#else
struct Registers {};
#endif
static_assert(sizeof(Registers) <= 256, "the saved registers fit");

// The kernel's codes for a system call interrupted before it finished.
constexpr long kRestartSys = 512, kRestartNoIntr = 513, kRestartNoHand = 514,
               kRestartBlock = 516;
constexpr int kStopTries = 500;  // a millisecond apart
constexpr int kFutexTries = 3;   // found on a futex that often: given up
constexpr uint64_t kRedZone = 128 + 256;  // left alone below the stack top

uint64_t Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u +
         static_cast<uint64_t>(t.tv_nsec);
}

#if defined(__x86_64__)
bool ReadMemory(pid_t tid, uint64_t at, void *data, size_t size);

// A wait the stop broke off with EINTR, which the kernel hands the program
// as it is (epoll_wait, a receive with SO_RCVTIMEO, sigtimedwait,
// io_uring_enter): the thread stands just past its syscall instruction.
bool BrokenOff(pid_t tid, const Registers &r) {
  uint8_t code[2];
  return static_cast<long>(r.orig_rax) >= 0 &&
         static_cast<long>(r.rax) == -EINTR &&
         ReadMemory(tid, r.rip - 2, code, sizeof code) && code[0] == 0x0f &&
         code[1] == 0x05;
}

// Makes a wait broken off with EINTR wait again once the thread runs: its
// call is made anew, as the kernel makes a restartable one. A timeout it
// had starts again.
void WaitAgain(Registers *r) {
  r->rax = r->orig_rax;
  r->rip -= 2;  // the syscall instruction
}

// Stopped where the thread waits in a system call.
bool Interrupted(pid_t tid, const Registers &r) {
  long number = static_cast<long>(r.orig_rax);
  long result = static_cast<long>(r.rax);
  if (number < 0) return false;
  return result == -kRestartSys || result == -kRestartNoIntr ||
         result == -kRestartNoHand || result == -kRestartBlock ||
         BrokenOff(tid, r);
}

// A wait on a futex may be one for a lock, and the lock's owner this very
// thread's caller: such a thread is never used.
bool OnFutex(pid_t tid, const Registers &r) {
  return static_cast<long>(r.orig_rax) == SYS_futex && Interrupted(tid, r);
}

bool WriteMemory(pid_t tid, uint64_t at, const void *data, size_t size) {
  iovec local = {const_cast<void *>(data), size};
  iovec remote = {reinterpret_cast<void *>(at), size};
  return process_vm_writev(tid, &local, 1, &remote, 1, 0) ==
         static_cast<ssize_t>(size);
}

bool ReadMemory(pid_t tid, uint64_t at, void *data, size_t size) {
  iovec local = {data, size};
  iovec remote = {reinterpret_cast<void *>(at), size};
  return process_vm_readv(tid, &local, 1, &remote, 1, 0) ==
         static_cast<ssize_t>(size);
}
#endif

}  // namespace

// The thread's next stop; false when it ended instead.
bool RemoteThread::Wait(int *status) {
  pid_t got;
  while ((got = waitpid(tid_, status, __WALL)) < 0 && errno == EINTR) {
  }
  if (got < 0) return false;
  if (WIFEXITED(*status) || WIFSIGNALED(*status)) {
    tid_ = 0;
    return false;
  }
  return true;
}

uint64_t RemoteThread::NowNs() { return Now(); }

RemoteThread::Status RemoteThread::Stop(pid_t tid,
                                        const volatile sig_atomic_t *give_up,
                                        uint64_t deadline_ns) {
#if defined(__x86_64__)
  if (ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) != 0)
    return errno == ESRCH ? kGone : kNotPermitted;
  tid_ = tid;
  int on_futex = 0;
  for (int tries = 0; tries < kStopTries; ++tries) {
    int status;
    if (ptrace(PTRACE_INTERRUPT, tid_, nullptr, nullptr) != 0 ||
        !Wait(&status)) {
      tid_ = 0;  // it ended: the kernel let it go
      return kGone;
    }
    int signal = WSTOPSIG(status);
    bool interrupted = (status >> 16) == PTRACE_EVENT_STOP;
    Registers *r = reinterpret_cast<Registers *>(saved_);
    if (interrupted && signal == SIGTRAP) {
      bool read = ptrace(PTRACE_GETREGS, tid_, nullptr, r) == 0;
      if (read && Interrupted(tid_, *r) && !OnFutex(tid_, *r)) {
        stop_at_ = Now();
        return kReady;
      }
      // A thread parked on a futex stays there: another one is tried.
      if (read && OnFutex(tid_, *r) && ++on_futex == kFutexTries)
        tries = kStopTries - 1;
      // Let go or tried again, it never sees the EINTR of the stop.
      if (read && BrokenOff(tid_, *r)) {
        WaitAgain(r);
        ptrace(PTRACE_SETREGS, tid_, nullptr, r);
      }
      signal = 0;
    } else if (interrupted) {
      signal = 0;  // a group stop: the process was stopped already
    }
    // A signal on its way is delivered; running code runs a little more.
    bool given_up = (give_up != nullptr && *give_up != 0) ||
                    (deadline_ns != 0 && Now() >= deadline_ns);
    if (given_up || tries + 1 == kStopTries) {
      ptrace(PTRACE_DETACH, tid_, nullptr,
             reinterpret_cast<void *>(static_cast<long>(signal)));
      tid_ = 0;
      return given_up ? kGivenUp : kNeverWaits;
    }
    ptrace(PTRACE_CONT, tid_, nullptr,
           reinterpret_cast<void *>(static_cast<long>(signal)));
    usleep(1000);
  }
  tid_ = 0;
  return kNeverWaits;
#else
  (void)tid, (void)give_up, (void)deadline_ns;
  errno = ENOSYS;
  return kFailed;
#endif
}

bool RemoteThread::Call(uint64_t function, const void *data, size_t size,
                        uint64_t second, uint64_t *result) {
#if defined(__x86_64__)
  const Registers &saved = *reinterpret_cast<const Registers *>(saved_);
  Registers r = saved;
  if (size > kDataRoom) return false;
  uint64_t data_at = (saved.rsp - kRedZone - kDataRoom) & ~uint64_t{15};
  // 16-aligned below the data, less the return address: as at a call.
  uint64_t low = data_at - 64 - 8;
  if (!stack_saved_) {
    if (!ReadMemory(tid_, low, stack_, sizeof stack_)) return false;
    stack_saved_ = true;
  }
  uint64_t zero = 0;  // the return address: the call ends in a fault there
  if ((size > 0 && !WriteMemory(tid_, data_at, data, size)) ||
      !WriteMemory(tid_, low, &zero, sizeof zero)) {
    return false;
  }
  r.rip = function;
  r.rdi = size > 0 ? data_at : 0;
  r.rsi = second;
  r.rsp = low;
  r.rax = 0;
  r.orig_rax = static_cast<uint64_t>(-1);
  if (ptrace(PTRACE_SETREGS, tid_, nullptr, &r) != 0 ||
      ptrace(PTRACE_CONT, tid_, nullptr, nullptr) != 0) {
    return false;
  }
  for (;;) {
    int status;
    if (!Wait(&status)) return false;
    int signal = WSTOPSIG(status);
    if ((status >> 16) == 0 && signal == SIGSEGV &&
        ptrace(PTRACE_GETREGS, tid_, nullptr, &r) == 0 && r.rip == 0) {
      *result = r.rax;
      return true;
    }
    // Another signal waits until the thread is its own again.
    if ((status >> 16) == 0 && signal != SIGSEGV && signal != SIGTRAP)
      pending_signal_ = signal;
    if ((status >> 16) == 0 && (signal == SIGSEGV || signal == SIGBUS))
      return false;  // the call itself faulted
    ptrace(PTRACE_CONT, tid_, nullptr, nullptr);
  }
#else
  (void)function, (void)first, (void)data, (void)size, (void)result;
  return false;
#endif
}

void RemoteThread::Resume() {
#if defined(__x86_64__)
  if (tid_ <= 0) return;
  Registers r = *reinterpret_cast<const Registers *>(saved_);
  if (BrokenOff(tid_, r)) WaitAgain(&r);
  uint64_t low = ((r.rsp - kRedZone - kDataRoom) & ~uint64_t{15}) - 72;
  if (stack_saved_) WriteMemory(tid_, low, stack_, sizeof stack_);
  ptrace(PTRACE_SETREGS, tid_, nullptr, &r);
  stopped_ns_ = Now() - stop_at_;
  ptrace(PTRACE_DETACH, tid_, nullptr,
         reinterpret_cast<void *>(static_cast<long>(pending_signal_)));
  tid_ = 0;
#endif
}

}  // namespace nqrun
