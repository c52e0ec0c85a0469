// What the preloaded interposer keeps: the real functions' lookup, the
// settings from the environment, each thread's first-call enable, and which
// descriptors are sockets.
#ifndef NQ_DROPIN_NETQUILL_RUN_PRELOAD_STATE_H
#define NQ_DROPIN_NETQUILL_RUN_PRELOAD_STATE_H

#include <stddef.h>
#include <stdint.h>

#include <time.h>

#include <atomic>

#include "entries/posix_entries.h"

#include "trace_env.h"

namespace nqrun {

struct AttachParams;

// What a process attached to shares with the children it forks: set when
// netquill-run detaches, and no record is written in any of them.
struct AttachShared {
  std::atomic<int> detached;
  std::atomic<int> launcher;  // netquill-run -p's process id; 0: none
};
extern AttachShared *g_attach_shared;

// True after netquill-run -p detached from this process: the calls pass on
// untraced, those blocked across the detach included.
inline bool Detached() {
  return g_attach_shared->detached.load(std::memory_order_relaxed) != 0;
}

// An attach session outlives no launcher: once netquill-run -p is gone
// (killed, its terminal lost) without a detach, the process stops tracing
// by itself, as a detach would have it. Looked at, at most every 100 ms,
// by the socket calls of the process and its forked children.
void WatchLauncher();
inline void CheckLauncher() {
  if (g_attach_shared->launcher.load(std::memory_order_relaxed) != 0)
    WatchLauncher();
}

// In a child forked without the system's fork handlers (vfork): what the
// handler does in every forked child, the trace the thread inherited
// forgotten and, per process, the child's own file held.
void ForgetTraceInChild();

// True while netquill-run -p has this interposer attached to the process.
bool Attached();

// Whether the netquill-run -p of the session, if any, is still running.
bool AttachedLauncherLives();

// Takes the launcher's settings in place of the environment's, for the
// threads' next socket calls (a thread that traced under an earlier attach
// takes them over), holds the trace file and marks the sockets open now.
void Configure(const AttachParams &params);

// Stops the records and lets the held trace file go.
void Unconfigure();

// NETQUILL_CALLS: the calls whose hook is called, all until it is read.
extern uint64_t g_selected_calls;

// Whether the program's call traced as call reaches its hook (netquill-run
// -e): one load, after the call, so an unselected call costs no more.
inline bool Selected(nqdrop::TracedCall call) {
  return nqdrop::Selected(g_selected_calls, call);
}

// NETQUILL_DUMP_MAX: the bytes each dump shows at most, 0 for all.
uint32_t DumpLimit();

// A hook call of a call the user did not select is not made: the call's
// result goes back as it is.
#define NQ_HOOK(name, result, call)            \
  (::nqrun::Selected(::nqdrop::kTraced_##name) \
       ? (::nqrun::OfferCallTimes(), (call))   \
       : (result))

// The next definition of a function after this library's own: the C
// library's. Looked up once per function; errno is left as it was.
void *NextSymbol(const char *name);

// True while this thread is inside the library or its own enable: the
// library's own file calls pass straight through, untraced.
bool InLibrary();

// How deep the calling thread is in the real functions the interposers
// call (NQ_REAL): a syscall() made from inside one (a shim of the
// program's whose close() is syscall(SYS_close)) goes straight to the
// system, as it was made on the way there; routed back through the
// interposers it would trace the call twice, or come back for ever.
extern
    __attribute__((tls_model("initial-exec"))) thread_local int t_in_real_call;
inline bool InRealCall() { return t_in_real_call != 0; }

// netquill-run -T: each call line shows when its call started and how long
// it took, as the outermost real function's call on the thread measured it.
extern bool g_call_times;
struct CallClock {
  timespec start;  // real-time clock
  timespec began;  // monotonic clock
  timespec ended;
};
extern __attribute__((
    tls_model("initial-exec"))) thread_local CallClock t_call_clock;

// Hands the thread's last timed call to its line (netquill-run -T).
inline void OfferCallTimes() {
  if (g_call_times)
    NQP_NoteCallTimes(&t_call_clock.start, &t_call_clock.began,
                      &t_call_clock.ended);
}

// Brackets a real function's call (sets what InRealCall reports), and
// times it for -T.
class RealCallScope {
 public:
  RealCallScope() {
    if (t_in_real_call++ == 0 && g_call_times) {
      clock_gettime(CLOCK_REALTIME, &t_call_clock.start);
      clock_gettime(CLOCK_MONOTONIC, &t_call_clock.began);
    }
  }
  ~RealCallScope() {
    if (--t_in_real_call == 0 && g_call_times)
      clock_gettime(CLOCK_MONOTONIC, &t_call_clock.ended);
  }
  RealCallScope(const RealCallScope &) = delete;
  RealCallScope &operator=(const RealCallScope &) = delete;
};

// Brackets a hook call (sets what InLibrary reports).
class LibraryScope {
 public:
  LibraryScope();
  ~LibraryScope();
  LibraryScope(const LibraryScope &) = delete;
  LibraryScope &operator=(const LibraryScope &) = delete;
};

// Called before a traced call: the calling thread starts tracing on its
// first socket call, unless NETQUILL_TRACE=0. errno is left as it was.
void EnterSocketCall();

// The socket of the calling thread's last data call: the one a TLS session
// runs on where its library cannot name it (a program's own transport, as
// curl's). A store per traced data call, read by the TLS calls only.
extern
    __attribute__((tls_model("initial-exec"))) thread_local int t_data_socket;
inline void NoteDataSocket(int fd) { t_data_socket = fd; }

// Descriptors the program got from socket() or accept().
void MarkSocket(int fd);
void ForgetSocket(int fd);
// At close: the number's next descriptor has its type read again.
void ForgetDescriptor(int fd);

// Whether a data call (read, write, ...) on fd, just made, is traced: fd
// is a socket the program made here, still the same one (one fstat, and
// none for any other descriptor), while tracing is on. Starts the calling
// thread's trace as a socket call would. errno is left as it was.
bool IsDataSocket(int fd);

// Copies size bytes of the program's memory at from into to, where a
// direct read could fault: false when the kernel cannot read them either
// (the call they belong to fails with EFAULT), and when this thread does
// not trace (no hook will look at them). One system call, while tracing.
bool CopyFromProgram(void *to, const void *from, size_t size);

// Copies the field of size bytes at from in each of count records stride
// bytes apart into to, one after another, as CopyFromProgram copies one:
// returns how many records, from the first, could be read (none when this
// thread does not trace). A system call per 64 records, while tracing.
size_t CopyFieldsFromProgram(void *to, const void *from, size_t size,
                             size_t stride, size_t count);

// Whether a receive with these flags on fd discards the bytes it counts
// without writing the buffer: MSG_TRUNC on a TCP socket (on a datagram
// socket it reports the datagram's whole length and fills the buffer).
bool DiscardsBytes(int fd, int flags);

// Whether close() or ioctl() of fd is worth a hook: fd is a socket and
// someone might trace it. Asks the kernel only when that can matter.
bool IsTracedSocket(int fd);

}  // namespace nqrun

#endif  // NQ_DROPIN_NETQUILL_RUN_PRELOAD_STATE_H
