// State of the preloaded interposer.
#include "preload_state.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "attach_params.h"
#include "entries/posix_entries.h"
#include "held_open.h"
#include "netquill.h"
#include "thread_stacks.h"
#include "trace_env.h"

namespace nqrun {

uint64_t g_selected_calls = nqdrop::kAllCalls;

namespace {

nqdrop::TraceEnv g_env;
int g_held = -1;  // NETQUILL_HELD_FD, when it is a plain decimal number
pthread_once_t g_once = PTHREAD_ONCE_INIT;

AttachShared g_own_shared;  // a started program's: never detached
bool g_attached;            // NQR_Attach took the settings
// Bumped at each attach: a thread whose trace started under another takes
// the new settings at its next socket call.
std::atomic<int> g_generation{1};
int g_attach_held = -1;  // the trace file held for an attach, or -1

// The preload is loaded with the program, so its thread data sits in the
// static block and costs no lookup call. (Loaded into a running process,
// the loader finds room for it in the static block's reserve.)
// t_started: the generation this thread's trace started in, 0 for none.
__attribute__((tls_model("initial-exec"))) thread_local int t_started;
__attribute__((tls_model("initial-exec"))) thread_local int t_in_library;
// Threads tracing when this thread's enable was refused (the table was
// full), 0 when it was not: it tries again once fewer trace.
__attribute__((tls_model("initial-exec"))) thread_local int t_refused_at;

// One bit per descriptor below the limit; those above are asked about.
constexpr int kTrackedFds = 65536;
std::atomic<uint64_t> g_sockets[kTrackedFds / 64];
// The inode of each marked socket, from its first traced data call on (0
// before): a descriptor number the C library reused for another socket has
// another; one reused for a file is no socket at all. Only the pages of
// the descriptors a program uses are ever touched.
std::atomic<uint64_t> g_inodes[kTrackedFds];
// While attached: the descriptors whose type was read, once each, at a
// data call (a socket accepted by a call that was blocked at attach).
std::atomic<uint64_t> g_checked[kTrackedFds / 64];

// The trace file netquill-run holds open at g_held, as it was when the
// library took it: a child checks that the number still stands for it
// before it puts its own file there.
struct stat g_held_file;
bool g_holding;

// Hands the library the held descriptor when it is open on this process's
// own trace file: an image exec'd in a child made without fork (vfork,
// posix_spawn) inherits its parent's file, and a program may have put
// anything at the number; those records go by path.
void Hold(const char *path, int descriptor) {
  g_holding = NQP_HoldTraceFile(path, descriptor) != 0 &&
              fstat(descriptor, &g_held_file) == 0;
}

void HoldInherited() {
  char path[nqdrop::kTracePathSize];
  if (!g_env.on || g_held < 0 ||
      !nqdrop::ProcessPath(g_env, static_cast<unsigned long>(getpid()), path) ||
      path[0] == '\0') {
    return;
  }
  Hold(path, g_held);
}

// With a file per process, a forked child's own file is made now, while it
// still has its parent's rights, and put at the held number, where the
// images it execs find it. Only while the number still holds the parent's
// file: the program's own descriptor there is never replaced.
void HoldOwnFileInChild() {
  if (!g_holding || !g_env.per_process) return;
  g_holding = false;
  struct stat now;
  char path[nqdrop::kTracePathSize];
  if (fstat(g_held, &now) != 0 || now.st_dev != g_held_file.st_dev ||
      now.st_ino != g_held_file.st_ino ||
      !nqdrop::ProcessPath(g_env, static_cast<unsigned long>(getpid()), path)) {
    return;
  }
  int fd =
      open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) return;
  struct stat made;
  bool regular = fstat(fd, &made) == 0 && S_ISREG(made.st_mode);
  // dup2 clears close-on-exec at the held number, and gives it no
  // O_NONBLOCK of its own: the flag belongs to the open file, cleared here.
  if (regular && fcntl(fd, F_SETFL, O_APPEND) == 0 &&
      dup2(fd, g_held) == g_held) {
    Hold(path, g_held);
  }
  close(fd);
}

// A forked child has only the thread that forked, whose trace the library
// keeps: it is forgotten here, and the thread starts the child's own on its
// next socket call, with its banner (and, per process, in its own file).
void ForgetThreadInChild() {
  NQP_ForgetInheritedTrace();
  t_started = 0;
  t_refused_at = 0;
  int saved = errno;
  HoldOwnFileInChild();
  errno = saved;
}

// Said once, on the program's standard error, where a user who set the
// environment by hand looks: the program runs, untraced.
void SayPathRefused() {
  static const char kText[] =
      "netquill-run: NETQUILL_FILE is longer than the library's trace file "
      "path; nothing is traced\n";
  ssize_t ignored = write(2, kText, sizeof kText - 1);
  (void)ignored;
}

// A descriptor number netquill-run named in the environment: a plain
// decimal number, else -1.
int NamedDescriptor(const char *variable) {
  const char *text = getenv(variable);
  uint32_t number = 0;
  if (text == nullptr || text[0] == '0' || !nqdrop::ParseFlags(text, &number) ||
      number >= 0x100000) {
    return -1;
  }
  return static_cast<int>(number);
}

// The launcher's ring of records at path, its descriptor as /proc names
// it: opened with the right of the launcher's own user, mapped, and closed
// again, so that the program's descriptor table stays as it was. Where the
// open is refused (a program that became another user before it executed
// this one) the process appends for itself. An attached process counts no
// lost records.
void OpenLaunchersRing(const char *path, bool attached) {
  if (path == nullptr) return;
  int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  if (attached)
    NQP_ShareAttachedRecords(fd);
  else
    NQP_ShareRecords(fd);
  using Fn = int (*)(int);
  static const auto real_close = reinterpret_cast<Fn>(NextSymbol("close"));
  real_close(fd);
}

void Init() {
  g_env = nqdrop::ReadTraceEnv();
  g_selected_calls = g_env.calls;
  g_call_times = g_env.call_times;
  NQP_SetCallViews(g_env.call_times, g_env.socket_labels, nullptr);
  if (g_env.path_refused) SayPathRefused();
  g_held = NamedDescriptor(nqdrop::kHeldVariable);
  if (g_env.on) {
    NQP_CountLostRecords(NamedDescriptor(nqdrop::kLostVariable));
    OpenLaunchersRing(getenv(nqdrop::kRecordsVariable), false);
  }
  HoldInherited();
  pthread_atfork(nullptr, nullptr, ForgetThreadInChild);
  NoteThisThreadsStack();
}

void EnsureInit() { pthread_once(&g_once, Init); }

__attribute__((constructor)) void LoadPreload() {
  int saved = errno;
  EnsureInit();
  errno = saved;
}

bool IsSocketFd(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

// The trace file opened by the process itself, at attach, at the first
// free number from three quarters of the descriptor limit, as the launcher
// does for a program it starts; closed on exec, which leaves the trace.
void HoldAttachedFile() {
  char path[nqdrop::kTracePathSize];
  if (!nqdrop::ProcessPath(g_env, static_cast<unsigned long>(getpid()), path) ||
      path[0] == '\0') {
    return;
  }
  int high = OpenHeldFile(path, true);
  if (high < 0) return;
  g_attach_held = g_held = high;
  Hold(path, high);
}

// The launcher's ring of records for a process attached to, named by the
// launcher's descriptor of it.
void ShareAttachedRecords(const AttachParams &params) {
  if (params.records_fd < 0 || g_attach_held < 0) return;
  char path[64];
  snprintf(path, sizeof path, "/proc/%u/fd/%d", params.launcher,
           params.records_fd);
  OpenLaunchersRing(path, true);
}

// The sockets the process holds now, traced from their next call; marks
// left from an earlier attach are dropped, as their numbers may have been
// closed and reused while no call was seen.
void MarkOpenSockets() {
  for (size_t i = 0; i < kTrackedFds / 64; ++i) {
    g_sockets[i].store(0, std::memory_order_relaxed);
    g_checked[i].store(0, std::memory_order_relaxed);
  }
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) return;
  while (const dirent *entry = readdir(dir)) {
    uint32_t fd;
    if (entry->d_name[0] == '.' || !nqdrop::ParseFlags(entry->d_name, &fd) ||
        static_cast<int>(fd) == dirfd(dir)) {
      continue;
    }
    if (IsSocketFd(static_cast<int>(fd))) MarkSocket(static_cast<int>(fd));
  }
  closedir(dir);
}

}  // namespace

void ForgetTraceInChild() { ForgetThreadInChild(); }

AttachShared *g_attach_shared = &g_own_shared;

bool Attached() { return g_attached && !Detached(); }

bool AttachedLauncherLives() {
  int launcher = g_attach_shared->launcher.load(std::memory_order_acquire);
  int saved = errno;
  bool lives = launcher != 0 && (kill(launcher, 0) == 0 || errno != ESRCH);
  errno = saved;
  return lives;
}

void Configure(const AttachParams &params) {
  int saved = errno;
  EnsureInit();
  // Shared with the children forked from now on, so that a detach reaches
  // them too; without it, only this process is stopped.
  if (g_attach_shared == &g_own_shared) {
    void *page = mmap(nullptr, sizeof(AttachShared), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page != MAP_FAILED) g_attach_shared = new (page) AttachShared{};
  }
  g_env = nqdrop::TraceEnv{};
  g_env.on = true;
  g_env.flags = params.flags;
  g_env.per_process = params.per_process != 0;
  g_env.dump_max = params.dump_max;
  g_env.calls = params.calls;
  g_selected_calls = params.calls;
  g_env.call_times = g_call_times = params.call_times != 0;
  g_env.socket_labels = params.socket_labels != 0;
  NQP_SetCallViews(g_call_times, g_env.socket_labels, nullptr);
  memcpy(g_env.path, params.path, sizeof g_env.path);
  g_env.path[sizeof g_env.path - 1] = '\0';
  HoldAttachedFile();
  ShareAttachedRecords(params);
  MarkOpenSockets();
  g_attached = true;
  g_generation.fetch_add(1, std::memory_order_relaxed);
  g_attach_shared->detached.store(0, std::memory_order_release);
  g_attach_shared->launcher.store(static_cast<int>(params.launcher),
                                  std::memory_order_release);
  errno = saved;
}

void WatchLauncher() {
  // A coarse clock, read without a system call; the launcher is asked
  // after, by one kill(0), by one thread in 100 ms.
  static std::atomic<int64_t> next_ms{0};
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  int64_t ms = now.tv_sec * 1000 + now.tv_nsec / 1000000;
  int64_t due = next_ms.load(std::memory_order_relaxed);
  if (ms < due || !next_ms.compare_exchange_strong(due, ms + 100)) return;
  int launcher = g_attach_shared->launcher.load(std::memory_order_acquire);
  int saved = errno;
  bool gone = launcher != 0 && kill(launcher, 0) != 0 && errno == ESRCH;
  errno = saved;
  if (gone && g_attach_shared->launcher.compare_exchange_strong(launcher, 0))
    Unconfigure();
}

void Unconfigure() {
  int saved = errno;
  g_attach_shared->launcher.store(0, std::memory_order_relaxed);
  g_attach_shared->detached.store(1, std::memory_order_release);
  g_attached = false;
  NQP_LeaveSharedRecords();
  // No record goes to it now; the program gets its number back.
  if (g_attach_held >= 0) {
    using Fn = int (*)(int);
    static const auto real_close = reinterpret_cast<Fn>(NextSymbol("close"));
    real_close(g_attach_held);
    g_attach_held = g_held = -1;
    g_holding = false;
  }
  errno = saved;
}
__attribute__((tls_model("initial-exec"))) thread_local int t_data_socket = -1;
__attribute__((tls_model("initial-exec"))) thread_local int t_in_real_call = 0;
bool g_call_times = false;
__attribute__((tls_model("initial-exec"))) thread_local CallClock t_call_clock;

void *NextSymbol(const char *name) {
  int saved = errno;
  void *fn = dlsym(RTLD_NEXT, name);
  errno = saved;
  return fn;
}

uint32_t DumpLimit() { return g_env.dump_max; }

bool InLibrary() { return t_in_library != 0; }

LibraryScope::LibraryScope() { ++t_in_library; }

LibraryScope::~LibraryScope() { --t_in_library; }

void EnterSocketCall() {
  CheckLauncher();
  // Set also when tracing is off: every later call returns here at once.
  int generation = g_generation.load(std::memory_order_relaxed);
  if (t_started == generation || Detached()) return;
  if (t_refused_at != 0 && WSAGetTraceUsage() >= t_refused_at) return;
  int saved = errno;
  EnsureInit();
  int earlier = t_started;
  t_started = generation;  // also while enabling: a signal handler passes
  if (g_env.on) {
    LibraryScope scope;
    char path[nqdrop::kTracePathSize];
    bool named =
        nqdrop::ProcessPath(g_env, static_cast<unsigned long>(getpid()), path);
    const char *file = path[0] != '\0' ? path : nullptr;
    // A trace kept from an earlier attach goes on, under this one's file
    // and flags, without a second start banner.
    if (named && earlier != 0 && WSASetTraceFile(file) != 0) {
      WSASetTraceFlags(g_env.flags);
    } else if (named && !WSAEnableTrace(file, g_env.flags)) {
      int usage = WSAGetTraceUsage();
      t_refused_at = usage > 0 ? usage : 1;
      t_started = 0;
    }
    if (named && t_started != 0) WSASetTraceDumpLimit(g_env.dump_max);
  }
  errno = saved;
}

// The socket's inode is taken at its first data call, which asks the
// kernel anyway: a socket closed before it moved data costs no question.
void MarkSocket(int fd) {
  if (fd < 0 || fd >= kTrackedFds) return;
  g_inodes[fd].store(0, std::memory_order_relaxed);
  g_sockets[fd / 64].fetch_or(uint64_t{1} << (fd % 64),
                              std::memory_order_relaxed);
}

// Reads the type of an unmarked descriptor once while attached: a socket
// made before the attach, which no traced call has seen, is marked.
bool RecogniseOnce(int fd) {
  uint64_t bit = uint64_t{1} << (fd % 64);
  if (!g_attached ||
      (g_checked[fd / 64].fetch_or(bit, std::memory_order_relaxed) & bit))
    return false;
  int saved = errno;
  bool socket = IsSocketFd(fd);
  errno = saved;
  if (socket) MarkSocket(fd);
  return socket;
}

bool IsDataSocket(int fd) {
  if (fd < 0 || fd >= kTrackedFds || !g_env.on || Detached()) return false;
  if (!((g_sockets[fd / 64].load(std::memory_order_relaxed) >> (fd % 64)) &
        1) &&
      !RecogniseOnce(fd)) {
    return false;
  }
  int saved = errno;
  struct stat st;
  bool socket = fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
  errno = saved;
  uint64_t known = 0;
  bool same = socket && (g_inodes[fd].compare_exchange_strong(
                             known, st.st_ino, std::memory_order_relaxed) ||
                         known == st.st_ino);
  if (!same) {
    ForgetSocket(fd);
    return false;
  }
  EnterSocketCall();
  return true;
}

bool CopyFromProgram(void *to, const void *from, size_t size) {
  if (t_started == 0 || !g_env.on) return false;
  if (OnLiveStack(from, size)) {
    memcpy(to, from, size);
    return true;
  }
  int saved = errno;
  struct iovec local = {to, size};
  struct iovec remote = {const_cast<void *>(from), size};
  ssize_t n = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
  // Where the system refuses the call itself (a seccomp filter), the
  // memory is read as it always was.
  bool refused = n < 0 && errno != EFAULT;
  errno = saved;
  if (refused) memcpy(to, from, size);
  return refused || static_cast<size_t>(n) == size;
}

size_t CopyFieldsFromProgram(void *to, const void *from, size_t size,
                             size_t stride, size_t count) {
  if (!t_started || !g_env.on || count == 0) return 0;
  if (OnLiveStack(from, stride * (count - 1) + size)) {
    for (size_t i = 0; i < count; ++i)
      memcpy(static_cast<char *>(to) + i * size,
             static_cast<const char *>(from) + i * stride, size);
    return count;
  }
  constexpr size_t kBatch = 64;  // a small frame on a signal handler's stack
  int saved = errno;
  size_t done = 0;
  while (done < count) {
    size_t n = count - done < kBatch ? count - done : kBatch;
    struct iovec local = {static_cast<char *>(to) + done * size, n * size};
    struct iovec remote[kBatch];
    for (size_t i = 0; i < n; ++i) {
      remote[i].iov_base = const_cast<char *>(static_cast<const char *>(from) +
                                              (done + i) * stride);
      remote[i].iov_len = size;
    }
    ssize_t got = process_vm_readv(getpid(), &local, 1, remote, n, 0);
    if (got < 0 && errno != EFAULT) {  // refused by the system: read as ever
      for (size_t i = 0; i < n; ++i)
        memcpy(static_cast<char *>(local.iov_base) + i * size,
               remote[i].iov_base, size);
      got = static_cast<ssize_t>(n * size);
    }
    done += got > 0 ? static_cast<size_t>(got) / size : 0;
    if (got < 0 || static_cast<size_t>(got) != n * size) break;
  }
  errno = saved;
  return done;
}

bool DiscardsBytes(int fd, int flags) {
  if (!(flags & MSG_TRUNC)) return false;
  using Fn = int (*)(int, int, int, void *, socklen_t *);
  static const auto real = reinterpret_cast<Fn>(NextSymbol("getsockopt"));
  int saved = errno;
  int protocol = 0;
  socklen_t len = sizeof protocol;
  bool tcp = real(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &len) == 0 &&
             protocol == IPPROTO_TCP;
  errno = saved;
  return tcp;
}

void ForgetSocket(int fd) {
  if (fd < 0 || fd >= kTrackedFds) return;
  g_sockets[fd / 64].fetch_and(~(uint64_t{1} << (fd % 64)),
                               std::memory_order_relaxed);
}

void ForgetDescriptor(int fd) {
  if (fd < 0 || fd >= kTrackedFds || !g_attached) return;
  g_checked[fd / 64].fetch_and(~(uint64_t{1} << (fd % 64)),
                               std::memory_order_relaxed);
}

bool IsTracedSocket(int fd) {
  if (fd < 0) return false;
  bool marked =
      fd < kTrackedFds &&
      (g_sockets[fd / 64].load(std::memory_order_relaxed) >> (fd % 64)) & 1;
  // A socket the program did not open here (inherited, or a duplicate) is
  // looked for only while some thread traces. A marked descriptor may have
  // been replaced behind the program's back (dup2), so the kernel decides.
  if (!(marked && g_env.on) && WSAGetTraceUsage() == 0) return false;
  int saved = errno;
  bool socket = IsSocketFd(fd);
  errno = saved;
  return socket;
}

}  // namespace nqrun
