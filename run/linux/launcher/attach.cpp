// netquill-run -p: each process is checked first (there, not traced by
// another, of this launcher's bitness, with a dynamic C library), then one
// of its threads is stopped where it waits in a system call and made to
// call dlopen on the interposer and the interposer's NQR_Attach with the
// settings. The threads run on; the launcher waits, and at the end makes a
// thread call NQR_Detach the same way.
#include "attach.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "attach_params.h"
#include "elf_symbol.h"
#include "record_reader.h"
#include "remote_call.h"
#include "supervise.h"

namespace nqrun {
namespace {

// The C library as the process maps it, and the loader's entry in it
// (glibc 2.34 and later; before, the private one it always had, which
// takes __RTLD_DLOPEN beside the mode).
const char kCLibrary[] = "/libc.so.6";
const char kLoader[] = "dlopen";
const char kPrivateLoader[] = "__libc_dlopen_mode";
constexpr uint64_t kPrivateMode = RTLD_NOW | 0x80000000u;

int Fail(int code, const char *format, pid_t pid, const char *more = "") {
  fprintf(stderr, "netquill-run: ");
  fprintf(stderr, format, static_cast<int>(pid), more);
  fputc('\n', stderr);
  return code;
}

// The process's path for a file it mapped, seen from this launcher (out:
// PATH_MAX + 32 bytes).
void Rooted(pid_t pid, const char *path, char *out) {
  int n = snprintf(out, 32, "/proc/%d/root", static_cast<int>(pid));
  memcpy(out + n, path, strnlen(path, PATH_MAX - 1) + 1);
}

// Where the function name of the object mapped from suffix (or from
// exactly that path) lies in the process.
bool RemoteAddress(pid_t pid, const char *suffix, bool exact, const char *name,
                   uint64_t *address) {
  uint64_t base, offset;
  char path[PATH_MAX], rooted[PATH_MAX + 32];
  if (!FindMapping(pid, suffix, exact, &base, path)) return false;
  Rooted(pid, path, rooted);
  if (!SymbolOffset(rooted, name, &offset)) return false;
  *address = base + offset;
  return true;
}

long TracerOf(pid_t pid) {
  char status[64], line[256];
  snprintf(status, sizeof status, "/proc/%d/status", static_cast<int>(pid));
  FILE *in = fopen(status, "re");
  if (in == nullptr) return -1;
  long tracer = 0;
  while (fgets(line, sizeof line, in) != nullptr)
    if (sscanf(line, "TracerPid: %ld", &tracer) == 1) break;
  fclose(in);
  return tracer;
}

// The process's state letter from /proc/pid/stat ('R', 'S', 'T', 'Z'...),
// 'X' when it is gone.
char StateOf(pid_t pid) {
  char stat[64], line[512];
  snprintf(stat, sizeof stat, "/proc/%d/stat", static_cast<int>(pid));
  FILE *in = fopen(stat, "re");
  if (in == nullptr) return 'X';
  char state = 'X';
  if (fgets(line, sizeof line, in) != nullptr) {
    const char *end = strrchr(line, ')');
    if (end != nullptr && end[1] == ' ') state = end[2];
  }
  fclose(in);
  return state;
}

// Whether pid runs the same file as this launcher: a launcher that started
// a program stays to wait for it.
bool IsThisLauncher(pid_t pid) {
  char path[64], theirs[PATH_MAX], ours[PATH_MAX];
  snprintf(path, sizeof path, "/proc/%d/exe", static_cast<int>(pid));
  ssize_t n = readlink(path, theirs, sizeof theirs - 1);
  ssize_t m = readlink("/proc/self/exe", ours, sizeof ours - 1);
  if (n <= 0 || m <= 0) return false;
  theirs[n] = ours[m] = '\0';
  return strcmp(theirs, ours) == 0;
}

}  // namespace

// The refusals, before anything touches the process: 0 when none.
int CheckAttachable(pid_t pid) {
  if (kill(pid, 0) != 0 && errno == ESRCH) return Fail(2, "no process %d", pid);
  long tracer = TracerOf(pid);
  if (tracer < 0) return Fail(2, "not permitted to read process %d", pid);
  if (tracer > 0) {
    char by[32];
    snprintf(by, sizeof by, "%ld", tracer);
    return Fail(2, "process %d is traced already, by process %s", pid, by);
  }
  // Stopped by a signal (Ctrl-Z, SIGSTOP): it would have to run to load
  // the interposer, and nobody asked it to.
  if (StateOf(pid) == 'T')
    return Fail(2, "process %d is stopped: continue it first (kill -CONT)",
                pid);
  // A launcher waits for the program it started, which it traces already.
  if (IsThisLauncher(pid))
    return Fail(2,
                "process %d is netquill-run itself: the program it started "
                "is traced already",
                pid);
  int bits = ProgramClass(pid);
  if (bits == 0) return Fail(2, "not permitted to read process %d", pid);
  if (bits != 64)
    return Fail(2,
                "process %d is a 32-bit program: attach with a 32-bit "
                "netquill-run",
                pid);
  return 0;
}

namespace {

// The interposer's own: a C library whose loader can load it.
int Check(pid_t pid) {
  int refused = CheckAttachable(pid);
  if (refused != 0) return refused;
  uint64_t loader;
  if (!RemoteAddress(pid, kCLibrary, false, kLoader, &loader) &&
      !RemoteAddress(pid, kCLibrary, false, kPrivateLoader, &loader)) {
    if (errno == EACCES)
      return Fail(2, "not permitted to read process %d", pid);
    return Fail(2,
                "process %d has no dynamic C library (a static or Go "
                "program): no table of its calls can be reached",
                pid);
  }
  return 0;
}

// The signal that ends the session (SIGINT, SIGTERM, SIGHUP), 0 until one
// comes: a stop under way gives up at it.
volatile sig_atomic_t g_stop_signal;

void OnStop(int signal) { g_stop_signal = signal; }

int Refused(RemoteThread::Status status, pid_t pid) {
  switch (status) {
    case RemoteThread::kGone:
      return Fail(2, "no process %d", pid);
    case RemoteThread::kNotPermitted:
      return Fail(2,
                  "not permitted to trace process %d (ptrace: %s; see "
                  "/proc/sys/kernel/yama/ptrace_scope, or run as its user "
                  "or root)",
                  pid, strerror(errno));
    case RemoteThread::kNeverWaits:
      return Fail(1, "process %d never waited in a system call; try again",
                  pid);
    case RemoteThread::kGivenUp:
      return Fail(1, "attaching to process %d given up: nothing changed in it",
                  pid);
    default:
      return Fail(1, "cannot stop process %d: %s", pid, strerror(errno));
  }
}

// Stops the first thread of the process that can be stopped where it
// waits: the main thread first.
RemoteThread::Status StopOne(pid_t pid, RemoteThread *thread,
                             const volatile sig_atomic_t *give_up = nullptr,
                             uint64_t deadline_ns = 0) {
  RemoteThread::Status status = thread->Stop(pid, give_up, deadline_ns);
  if (status != RemoteThread::kNeverWaits && status != RemoteThread::kGone)
    return status;
  char task[64];
  snprintf(task, sizeof task, "/proc/%d/task", static_cast<int>(pid));
  DIR *dir = opendir(task);
  if (dir == nullptr) return status;
  while (const dirent *entry = readdir(dir)) {
    pid_t tid = static_cast<pid_t>(atoi(entry->d_name));
    if (tid <= 0 || tid == pid) continue;
    status = thread->Stop(tid, give_up, deadline_ns);
    if (status == RemoteThread::kReady || status == RemoteThread::kGivenUp)
      break;
  }
  closedir(dir);
  return status;
}

bool Ended(pid_t pid) {
  char state = StateOf(pid);
  return state == 'Z' || state == 'X';
}

}  // namespace

int AttachProcess(pid_t pid, const char *preload, const AttachParams &params,
                  uint64_t *stopped_ns) {
  int refused = Check(pid);
  if (refused != 0) return refused;
  uint64_t loader, mode = RTLD_NOW;
  if (!RemoteAddress(pid, kCLibrary, false, kLoader, &loader)) {
    if (!RemoteAddress(pid, kCLibrary, false, kPrivateLoader, &loader))
      return Fail(1, "cannot find dlopen in process %d", pid);
    mode = kPrivateMode;
  }
  RemoteThread thread;
  RemoteThread::Status status = StopOne(pid, &thread, &g_stop_signal);
  if (status != RemoteThread::kReady) return Refused(status, pid);
  uint64_t handle = 0, result = 1, entry = 0;
  bool loaded =
      thread.Call(loader, preload, strlen(preload) + 1, mode, &handle) &&
      handle != 0;
  bool called = loaded &&
                RemoteAddress(pid, preload, true, "NQR_Attach", &entry) &&
                thread.Call(entry, &params, sizeof params, 0, &result);
  thread.Resume();
  *stopped_ns = thread.stopped_ns();
  if (!loaded) return Fail(1, "process %d could not load %s", pid, preload);
  if (!called) return Fail(1, "process %d did not take the settings", pid);
  if (static_cast<int>(result) == kAttachPreloaded)
    return Fail(2, "process %d runs under netquill-run already", pid);
  if (static_cast<int>(result) == kAttachBusy)
    return Fail(2,
                "process %d is attached to already, by another "
                "netquill-run -p",
                pid);
  if (static_cast<int>(result) != kAttached)
    return Fail(1, "process %d holds another build's interposer", pid);
  return 0;
}

bool DetachProcess(pid_t pid, const char *preload, uint64_t deadline_ns) {
  uint64_t entry, result;
  if (!RemoteAddress(pid, preload, true, "NQR_Detach", &entry)) return false;
  RemoteThread thread;
  if (StopOne(pid, &thread, nullptr, deadline_ns) != RemoteThread::kReady)
    return false;
  bool done = thread.Call(entry, nullptr, 0, 0, &result);
  thread.Resume();
  return done;
}

namespace {

// Tried again for a second, every 50 ms, while the process runs.
bool Detach(pid_t pid, const char *preload) {
  uint64_t deadline = RemoteThread::NowNs() + 1000 * 1000 * 1000;
  while (!Ended(pid) && RemoteThread::NowNs() < deadline) {
    if (DetachProcess(pid, preload, deadline)) return true;
    timespec pause = {0, 50 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  return false;
}

}  // namespace

int RunAttached(const nqdrop::RunOptions &options, const char *path,
                const char *preload) {
  AttachParams params = {};
  params.size = sizeof params;
  params.launcher = static_cast<uint32_t>(getpid());
  if (options.flags != nullptr)
    nqdrop::ParseFlags(options.flags, &params.flags);
  params.per_process = options.per_process ? 1 : 0;
  params.call_times = options.call_times ? 1 : 0;
  params.socket_labels = options.socket_labels ? 1 : 0;
  params.calls = nqdrop::kAllCalls;
  if (options.dump_max != nullptr)
    nqdrop::ParseFlags(options.dump_max, &params.dump_max);
  if (options.calls != nullptr)
    nqdrop::ParseCalls(options.calls, &params.calls);
  if (options.file != nullptr) memcpy(params.path, path, strlen(path) + 1);
  // The processes hand their records over as a program started here does;
  // to the default file, each appends its own.
  const bool shared = options.file != nullptr && SharedRecordsAsked() &&
                      StartRecordReader(path, options.per_process);
  params.records_fd = shared ? RecordsDescriptor() : -1;
  // Taken note of, and acted on between the steps: a ptrace step that
  // Ctrl-C broke off would leave a thread stopped mid-call. A terminal that
  // goes (SIGHUP) ends the session as Ctrl-C does: left to its default, it
  // would end the launcher with the program still tracing.
  struct sigaction stop = {};
  stop.sa_handler = OnStop;
  stop.sa_flags = SA_RESTART;
  constexpr int kStops[] = {SIGINT, SIGTERM, SIGHUP};
  for (int signal : kStops) sigaction(signal, &stop, nullptr);
  pid_t attached[nqdrop::kMaxAttach];
  int count = 0, code = 0;
  for (int i = 0; i < options.attach_count && g_stop_signal == 0; ++i) {
    pid_t pid = static_cast<pid_t>(options.attach[i]);
    uint64_t stopped_ns = 0;
    code = AttachProcess(pid, preload, params, &stopped_ns);
    if (code != 0) break;
    attached[count++] = pid;
    fprintf(stderr, "netquill-run: attached to %d\n", static_cast<int>(pid));
  }
  // Traced until the user stops the launcher or every process has ended.
  int live = code == 0 ? count : 0;
  while (live > 0 && g_stop_signal == 0) {
    timespec tick = {0, 50 * 1000 * 1000};
    nanosleep(&tick, nullptr);
    live = 0;
    for (int i = 0; i < count; ++i)
      if (!Ended(attached[i])) ++live;
  }
  int undetached = 0;
  for (int i = 0; i < count; ++i) {
    if (Ended(attached[i])) continue;
    if (Detach(attached[i], preload)) {
      fprintf(stderr, "netquill-run: detached from %d\n",
              static_cast<int>(attached[i]));
    } else if (!Ended(attached[i])) {
      fprintf(stderr,
              "netquill-run: could not detach from %d: it stops tracing by "
              "itself once netquill-run has ended\n",
              static_cast<int>(attached[i]));
      ++undetached;
    }
  }
  if (shared) {
    StopRecordReader();
    SayLost(RecordsLostCount(), path, options.per_process);
  }
  return code != 0 ? code : undetached != 0 ? 1 : 0;
}

}  // namespace nqrun
