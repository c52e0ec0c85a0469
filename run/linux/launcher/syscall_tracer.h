// The launcher as the tracer of a program's threads on the system-call
// path: one loop over the stops of every thread of every process, which
// records the calls the filter (or, attached, every call) stops at, and
// lets signals, job control stops, forks, threads and execs go on as they
// would untraced.
#ifndef NQ_RUN_LINUX_LAUNCHER_SYSCALL_TRACER_H
#define NQ_RUN_LINUX_LAUNCHER_SYSCALL_TRACER_H

#include <signal.h>
#include <sys/types.h>

namespace nqrun {

// How the threads go on between stops: under the filter, to the next call
// it stops; attached, without a filter, to the entry or exit of any call.
void StopAtEveryCall(bool every);

// Waits for every stop of every thread until none is left, or until a
// signal sets *leave; returns program's wait status (126 when not seen to
// end).
int TraceAll(pid_t program, volatile sig_atomic_t *leave);

// Takes a thread of a running process as a tracee, with options, and
// interrupts it so that its first stop comes at once. False, errno set,
// when ptrace refuses.
bool SeizeThread(pid_t thread, long options);

// Whether thread is a tracee already.
bool IsTracee(pid_t thread);

// Lets every tracee go on untraced, as it was (a stopped one stays
// stopped, a signal on its way is delivered); returns how many of the
// processes were let go.
int ReleaseAll();

}  // namespace nqrun

#endif  // NQ_RUN_LINUX_LAUNCHER_SYSCALL_TRACER_H
