// POSIX implementation of the system services.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "platform/os.h"
#include "platform/posix/local_zone.h"
#include "platform/posix/thread_posix.h"

namespace nq {

const char kPathSeparator = '/';

namespace {

// Statically initialised, so the lock exists before any constructor runs
// and never has to be torn down while another thread may still hold it.
// It is a plain mutex that a thread takes once however deep it nests, as
// its own depth count tells: unlike a recursive mutex, which answers only
// the thread id that locked it, a plain one can be released in a forked
// child, whose one thread has a new id.
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;

// gettid is a system call; the id is asked for several times per record, so
// each thread keeps it. A forked child gets a new id for the same thread.
uint32_t NativeThreadId() {
  PlatformThread *ts = ThisPlatformThread();
  if (ts->thread_id == 0)
    ts->thread_id = static_cast<uint32_t>(syscall(SYS_gettid));
  return ts->thread_id;
}

void (*g_fork_child_hook)() = nullptr;

const int g_fork_handlers_installed =
    pthread_atfork(ForkPrepare, ForkInParent, ForkInChild);

uint32_t NativeTickMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u +
                static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

// Local time comes from the zone read at load (local_zone.cpp), never from
// localtime_r, whose lock a signal handler may interrupt. Each thread keeps
// the conversion of the last second it asked for.
void NativeLocalTime(LocalTime *out, int) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  ClockCache &cache = ThisPlatformThread()->clock;
  if (!cache.valid || cache.second != now.tv_sec) {
    ZoneLocalTime(now.tv_sec, &cache.local);
    cache.second = now.tv_sec;
    cache.valid = 1;
  }
  *out = cache.local;
}

// The main program is always mapped; POSIX has no handle for it, so any
// non-zero value stands for "there is one".
uintptr_t NativeMainModule() { return 1; }

// The name the program was started by, its argv[0], read at load: a
// program started through a link (redis-server, a link to
// redis-check-rdb) is named by the link, as its user knows it, not by the
// file the link resolves to; and read before the program can write over
// its arguments (a process title).
char g_started_as[256];

void ReadStartedAs() {
  int saved = errno;
  int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ssize_t n = read(fd, g_started_as, sizeof g_started_as - 1);
    // A name cut by the buffer is not used: its base name could be wrong.
    bool whole = n > 0 && memchr(g_started_as, '\0', n) != nullptr;
    if (!whole) g_started_as[0] = '\0';
    close(fd);
  }
  errno = saved;
}

const bool g_started_as_read = (ReadStartedAs(), true);

size_t NativeModuleFileName(uintptr_t, char *buf, size_t size) {
  if (size == 0) return 0;
  size_t started = strlen(g_started_as);
  if (started != 0 && started < size) {
    memcpy(buf, g_started_as, started + 1);
    return started;
  }
  int saved = errno;
  ssize_t n = readlink("/proc/self/exe", buf, size - 1);
  errno = saved;
  if (n <= 0) {
    buf[0] = '\0';
    return 0;
  }
  buf[n] = '\0';
  return static_cast<size_t>(n);
}

size_t NativeTempDir(char *buf, size_t size) {
  const char *dir = getenv("TMPDIR");
  if (dir == nullptr || dir[0] == '\0') dir = "/tmp";
  size_t len = strlen(dir);
  if (len + 1 > size) {
    if (size > 0) buf[0] = '\0';
    return 0;
  }
  memcpy(buf, dir, len + 1);
  return len;
}

// Whether the file open at fd may take a record: a regular file or a
// character device (a terminal, /dev/null), never a FIFO or a socket, where
// a record could go out in part or hold the writer up; for an owned file
// also only one of the caller's own, with this one name. st gets its state.
bool AcceptsRecords(int fd, bool owned, struct stat *st) {
  if (fstat(fd, st) != 0) return false;
  if (owned && (st->st_uid != geteuid() || st->st_nlink != 1)) return false;
  if (S_ISREG(st->st_mode)) return true;
  if (!S_ISCHR(st->st_mode)) return false;
  // A device is written as it always was, waiting if it must: only the
  // open was not to wait.
  int flags = fcntl(fd, F_GETFL);
  return flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// The process's RLIMIT_FSIZE, as last read; unlimited, the usual case, costs
// a record nothing.
std::atomic<uint64_t> g_file_size_limit{RLIM_INFINITY};

// O_APPEND puts the whole write at the end of the file in one step, so
// records of other threads and processes never land inside this one.
ssize_t WriteAll(int fd, const void *data, size_t size) {
  ssize_t n;
  do {
    n = write(fd, data, size);
  } while (n < 0 && errno == EINTR);
  return n;
}

// The write of a record to a file not yet asked for its type. Linux puts
// a positioned write on an O_APPEND descriptor at the end of the file like
// a plain write, and refuses it on a pipe, a FIFO, a socket or a terminal
// (ESPIPE) before anything is written: so a regular file, the usual case,
// costs no question about its type. Only a refusal asks, and a character
// device then gets a plain write. Elsewhere the type is asked first.
ssize_t WriteChecked(int fd, const void *data, size_t size) {
#if defined(__linux__)
  ssize_t n;
  do {
    n = pwrite(fd, data, size, 0);
  } while (n < 0 && errno == EINTR);
  if (n >= 0 || (errno != ESPIPE && errno != EAGAIN)) return n;
#endif
  struct stat st;
  if (!AcceptsRecords(fd, false, &st)) return -1;
  return WriteAll(fd, data, size);
}

// Under a file-size limit a record that would take a regular file past it
// is dropped whole, never written in part. Should another writer take the
// room first, the system refuses the write and raises SIGXFSZ, whose
// default is to kill: it is held off around the write and taken back
// unless the program had one pending already.
// Kept out of AppendTo: its signal sets take no stack while there is no
// limit, the usual case, on a path a signal handler may run.
__attribute__((noinline)) ssize_t WriteWithinLimit(int fd, const void *data,
                                                   size_t size, bool owned,
                                                   uint64_t limit) {
  struct stat st;
  if (!AcceptsRecords(fd, owned, &st)) return -1;
  if (!S_ISREG(st.st_mode)) return WriteAll(fd, data, size);
  uint64_t at = static_cast<uint64_t>(st.st_size);
  if (at > limit || size > limit - at) return 0;
  sigset_t xfsz, old, pending;
  sigemptyset(&xfsz);
  sigaddset(&xfsz, SIGXFSZ);
  pthread_sigmask(SIG_BLOCK, &xfsz, &old);
  bool had_one = sigpending(&pending) == 0 && sigismember(&pending, SIGXFSZ);
  ssize_t n = WriteAll(fd, data, size);
  if (n < 0 && errno == EFBIG && !had_one) {
    struct timespec now = {0, 0};
    sigtimedwait(&xfsz, nullptr, &now);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return n;
}

int AppendTo(const char *path, const void *data, size_t size, bool owned) {
  uint64_t limit = g_file_size_limit.load(std::memory_order_relaxed);
  int saved = errno;
  // O_NONBLOCK: opening a FIFO without a reader would otherwise wait for
  // one, with the library lock held when the record is a banner.
  int how = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK;
  if (owned) how |= O_NOFOLLOW;
  int fd = open(path, how, owned ? 0600 : 0666);
  if (fd < 0) {
    errno = saved;
    return 0;
  }
  // An owned file is asked who owns it and how many names it has anyway.
  ssize_t n = -1;
  struct stat st;
  if (limit != RLIM_INFINITY) {
    n = WriteWithinLimit(fd, data, size, owned, limit);
  } else if (!owned) {
    n = WriteChecked(fd, data, size);
  } else if (AcceptsRecords(fd, true, &st)) {
    n = WriteAll(fd, data, size);
  }
  // A record cut short (a full disk) is told apart from one not written.
  int ok = n >= 0 && static_cast<size_t>(n) == size ? 1 : n > 0 ? -1 : 0;
  if (close(fd) != 0 && errno != EINTR && ok == 1) ok = 0;
  errno = saved;
  return ok;
}

int NativeAppend(const char *path, const void *data, size_t size) {
  return AppendTo(path, data, size, false);
}

int NativeAppendOwned(const char *path, const void *data, size_t size) {
  return AppendTo(path, data, size, true);
}

// Record buffers are mapped from the system, never taken from malloc: a
// record may be written in a signal handler that interrupted malloc. A block
// starts with its mapped size, for the unmap.
constexpr size_t kBlockHead = 16;

void *NativeAlloc(size_t size) {
  if (size > SIZE_MAX - kBlockHead) return nullptr;
  size_t total = size + kBlockHead;
  int saved = errno;
  void *base = mmap(nullptr, total, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  errno = saved;
  if (base == MAP_FAILED) return nullptr;
  memcpy(base, &total, sizeof total);
  return static_cast<char *>(base) + kBlockHead;
}

void NativeRelease(void *block) {
  if (block == nullptr) return;
  char *base = static_cast<char *>(block) - kBlockHead;
  size_t total;
  memcpy(&total, base, sizeof total);
  int saved = errno;
  munmap(base, total);
  errno = saved;
}

const OsServices kNative = {
    NativeThreadId,       NativeTickMs,  NativeLocalTime, NativeMainModule,
    NativeModuleFileName, NativeTempDir, NativeAppend,    NativeAppendOwned,
    NativeAlloc,          NativeRelease,
};

}  // namespace

// Holding the lock across fork keeps a child from inheriting it in the
// middle of another thread's table update. The child's thread is a copy of
// the forking one, depth count and all, so it releases the lock as the
// parent does.
void ForkPrepare() { LockEnter(); }

void ForkInParent() { LockLeave(); }

void ForkInChild() {
  ThisPlatformThread()->thread_id = 0;
  if (g_fork_child_hook != nullptr) g_fork_child_hook();
  LockLeave();
}

OsServices g_os = kNative;

const OsServices &NativeOsServices() { return kNative; }

void SetForkChildHook(void (*hook)()) { g_fork_child_hook = hook; }

void LockCreate() {}

void LockDelete() {}

bool FileSizeLimited() {
  return g_file_size_limit.load(std::memory_order_relaxed) != RLIM_INFINITY;
}

void ReadFileSizeLimit() {
  struct rlimit limit;
  int saved = errno;
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0) {
    g_file_size_limit.store(limit.rlim_cur, std::memory_order_relaxed);
  }
  errno = saved;
}

void CancelHold() {
  int *held = &ThisPlatformThread()->cancel_held;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, held);
}

void CancelResume() {
  pthread_setcancelstate(ThisPlatformThread()->cancel_held, nullptr);
}

// The outermost LockEnter holds off every signal but the faults and every
// cancellation until its LockLeave: a handler that ran on this thread while
// it held the lock, or between taking it and counting it, would wait for
// itself, and a thread cancelled with the lock held would keep it for good.
// What to put back lives beside the lock, which only its owner touches.
static sigset_t g_mask_held;
static int g_cancel_held;

void LockEnter() {
  PlatformThread *ts = ThisPlatformThread();
  if (ts->lock_depth > 0) {
    ++ts->lock_depth;
    return;
  }
  sigset_t all, old;
  sigfillset(&all);
  static const int kFaults[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};
  for (int fault : kFaults) sigdelset(&all, fault);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  int cancel = PTHREAD_CANCEL_ENABLE;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel);
  pthread_mutex_lock(&g_lock);
  ts->lock_depth = 1;
  g_mask_held = old;
  g_cancel_held = cancel;
}

void LockLeave() {
  PlatformThread *ts = ThisPlatformThread();
  if (--ts->lock_depth > 0) return;
  sigset_t mask = g_mask_held;
  int cancel = g_cancel_held;
  pthread_mutex_unlock(&g_lock);
  pthread_setcancelstate(cancel, nullptr);
  pthread_sigmask(SIG_SETMASK, &mask, nullptr);
}

}  // namespace nq
