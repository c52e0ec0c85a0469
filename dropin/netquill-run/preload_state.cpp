// State of the preloaded interposer.
#include "preload_state.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>

#include "netquill.h"
#include "netquill_posix.h"
#include "trace_env.h"

namespace nqrun {
namespace {

nqdrop::TraceEnv g_env;
int g_held = -1;  // NETQUILL_HELD_FD, when it is a plain decimal number
pthread_once_t g_once = PTHREAD_ONCE_INIT;

// The preload is loaded with the program, so its thread data sits in the
// static block and costs no lookup call.
__attribute__((tls_model("initial-exec"))) thread_local bool t_started;
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
  t_started = false;
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

void Init() {
  g_env = nqdrop::ReadTraceEnv();
  if (g_env.path_refused) SayPathRefused();
  g_held = NamedDescriptor(nqdrop::kHeldVariable);
  if (g_env.on) NQP_CountLostRecords(NamedDescriptor(nqdrop::kLostVariable));
  HoldInherited();
  pthread_atfork(nullptr, nullptr, ForgetThreadInChild);
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

}  // namespace

void *NextSymbol(const char *name) {
  int saved = errno;
  void *fn = dlsym(RTLD_NEXT, name);
  errno = saved;
  return fn;
}

bool InLibrary() { return t_in_library != 0; }

LibraryScope::LibraryScope() { ++t_in_library; }

LibraryScope::~LibraryScope() { --t_in_library; }

void EnterSocketCall() {
  // Set also when tracing is off: every later call returns here at once.
  if (t_started) return;
  if (t_refused_at != 0 && WSAGetTraceUsage() >= t_refused_at) return;
  int saved = errno;
  EnsureInit();
  t_started = true;  // also while enabling: a signal handler's call passes
  if (g_env.on) {
    LibraryScope scope;
    char path[nqdrop::kTracePathSize];
    if (nqdrop::ProcessPath(g_env, static_cast<unsigned long>(getpid()),
                            path) &&
        !WSAEnableTrace(path[0] != '\0' ? path : nullptr, g_env.flags)) {
      int usage = WSAGetTraceUsage();
      t_refused_at = usage > 0 ? usage : 1;
      t_started = false;
    }
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

bool IsDataSocket(int fd) {
  if (fd < 0 || fd >= kTrackedFds || !g_env.on) return false;
  if (!((g_sockets[fd / 64].load(std::memory_order_relaxed) >> (fd % 64)) & 1))
    return false;
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
  if (!t_started || !g_env.on) return false;
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
  if (!t_started || !g_env.on) return 0;
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
