// A function called inside another process, on one of its threads, with
// ptrace: the thread is stopped where it waits in a system call, made to
// call the function, and put back as it was, its system call restarted.
// The process's other threads run on throughout.
#ifndef NQ_DROPIN_NETQUILL_RUN_REMOTE_CALL_H
#define NQ_DROPIN_NETQUILL_RUN_REMOTE_CALL_H

#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

namespace nqrun {

class RemoteThread {
 public:
  enum Status {
    kReady,         // stopped in a waiting system call, its state kept
    kGone,          // no such process or thread
    kNotPermitted,  // ptrace refused (errno says why)
    kNeverWaits,    // it was never found waiting in a system call
    kFailed,        // a step of ptrace failed
    kGivenUp,       // *give_up was set meanwhile (the user's Ctrl-C)
  };

  // Seizes thread tid and stops it where it waits in a system call; lets
  // it go again unless kReady. Gives up between two tries once *give_up
  // (when given) is set, or the monotonic clock passes deadline_ns (when
  // not 0).
  Status Stop(pid_t tid, const volatile sig_atomic_t *give_up = nullptr,
              uint64_t deadline_ns = 0);

  // The monotonic clock, in nanoseconds.
  static uint64_t NowNs();

  // The most bytes a call takes along.
  static constexpr size_t kDataRoom = 4352;

  // Calls function(data, second) in the thread, where data is a copy of
  // size bytes put below the thread's stack (null when size is 0); the
  // function's result into *result. False when the thread did not come
  // back to the launcher.
  bool Call(uint64_t function, const void *data, size_t size, uint64_t second,
            uint64_t *result);

  // Puts the thread back as it was and lets it go: its system call
  // restarts, and a signal that arrived meanwhile is delivered.
  void Resume();

  // Nanoseconds between the stop and the resume, the time the thread
  // stood still.
  uint64_t stopped_ns() const { return stopped_ns_; }

  ~RemoteThread() {
    if (tid_ > 0) Resume();
  }

 private:
  bool Wait(int *status);

  pid_t tid_ = 0;
  int pending_signal_ = 0;  // a signal held back during the calls
  uint64_t stop_at_ = 0, stopped_ns_ = 0;
  alignas(8) unsigned char saved_[256];   // the thread's registers
  unsigned char stack_[kDataRoom + 128];  // the stack bytes the calls use
  bool stack_saved_ = false;
};

}  // namespace nqrun

#endif  // NQ_DROPIN_NETQUILL_RUN_REMOTE_CALL_H
