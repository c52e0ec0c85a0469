// POSIX implementation of the system services.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "core/thread_state.h"
#include "platform/os.h"

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
  ThreadState *ts = ThisThread();
  if (ts->thread_id == 0)
    ts->thread_id = static_cast<uint32_t>(syscall(SYS_gettid));
  return ts->thread_id;
}

// Holding the lock across fork keeps a child from inheriting it in the
// middle of another thread's table update. The child's thread is a copy of
// the forking one, depth count and all, so it releases the lock as the
// parent does.
void BeforeFork() { LockEnter(); }

void AfterForkInParent() { LockLeave(); }

void AfterForkInChild() {
  ThisThread()->thread_id = 0;
  LockLeave();
}

const int g_fork_handlers_installed =
    pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);

uint32_t NativeTickMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u +
                static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

// Converting to local time takes the C library's time-zone lock and a
// walk of the zone's rules, and a thread writes many records within one
// second. So each thread keeps the conversion of the last second it asked
// for; the calendar time itself is read for every record. A refresh of the
// zone setting, by any thread, moves the generation on, which turns every
// thread's conversion stale.
std::atomic<uint32_t> g_zone_generation{0};

void Convert(time_t now, LocalTime *out) {
  struct tm tm;
  memset(&tm, 0, sizeof tm);
  localtime_r(&now, &tm);
  out->year = tm.tm_year + 1900;
  out->month = tm.tm_mon + 1;
  out->day = tm.tm_mday;
  out->hour = tm.tm_hour;
  out->minute = tm.tm_min;
  out->second = tm.tm_sec;
}

void NativeLocalTime(LocalTime *out, int refresh_zone) {
  if (refresh_zone) {
    int saved = errno;
    tzset();
    errno = saved;
    g_zone_generation.fetch_add(1, std::memory_order_release);
  }
  uint32_t generation = g_zone_generation.load(std::memory_order_acquire);
  time_t now = time(nullptr);  // cannot fail with a null argument
  ClockCache &cache = ThisThread()->clock;
  if (!cache.valid || cache.second != now || cache.generation != generation) {
    // The conversion may read the zone files and set errno on the way.
    int saved = errno;
    Convert(now, &cache.local);
    errno = saved;
    cache.second = now;
    cache.generation = generation;
    cache.valid = 1;
  }
  *out = cache.local;
}

// The main program is always mapped; POSIX has no handle for it, so any
// non-zero value stands for "there is one".
uintptr_t NativeMainModule() { return 1; }

size_t NativeModuleFileName(uintptr_t, char *buf, size_t size) {
  if (size == 0) return 0;
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
// also only one of the caller's own, with this one name.
bool AcceptsRecords(int fd, bool owned) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  if (owned && (st.st_uid != geteuid() || st.st_nlink != 1)) return false;
  if (S_ISREG(st.st_mode)) return true;
  if (!S_ISCHR(st.st_mode)) return false;
  // A device is written as it always was, waiting if it must: only the
  // open was not to wait.
  int flags = fcntl(fd, F_GETFL);
  return flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

int AppendTo(const char *path, const void *data, size_t size, bool owned) {
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
  if (!AcceptsRecords(fd, owned)) {
    close(fd);
    errno = saved;
    return 0;
  }
  // O_APPEND puts the whole write at the end of the file in one step, so
  // records of other threads and processes never land inside this one.
  ssize_t n;
  do {
    n = write(fd, data, size);
  } while (n < 0 && errno == EINTR);
  int ok = n >= 0 && static_cast<size_t>(n) == size;
  if (close(fd) != 0 && errno != EINTR) ok = 0;
  errno = saved;
  return ok;
}

int NativeAppend(const char *path, const void *data, size_t size) {
  return AppendTo(path, data, size, false);
}

int NativeAppendOwned(const char *path, const void *data, size_t size) {
  return AppendTo(path, data, size, true);
}

void *NativeAlloc(size_t size) { return malloc(size); }

void NativeRelease(void *block) { free(block); }

const OsServices kNative = {
    NativeThreadId,       NativeTickMs,  NativeLocalTime, NativeMainModule,
    NativeModuleFileName, NativeTempDir, NativeAppend,    NativeAppendOwned,
    NativeAlloc,          NativeRelease,
};

}  // namespace

OsServices g_os = kNative;

const OsServices &NativeOsServices() { return kNative; }

void LockCreate() {}

void LockDelete() {}

void LockEnter() {
  if (ThisThread()->lock_depth++ == 0) pthread_mutex_lock(&g_lock);
}

void LockLeave() {
  if (--ThisThread()->lock_depth == 0) pthread_mutex_unlock(&g_lock);
}

}  // namespace nq
