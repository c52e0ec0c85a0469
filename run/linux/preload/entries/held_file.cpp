// The held trace file: one per process, checked once per record.
#include "entries/held_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace nq {
namespace {

constexpr size_t kHeldPathSize = 256;  // the library's path field

// Which file the descriptor stood for when it was taken: the number alone
// may since have been closed and given to one of the program's own files.
char g_path[kHeldPathSize];
dev_t g_device;
ino_t g_inode;
// -1 while nothing is held; set last, after the rest.
std::atomic<int> g_descriptor{-1};
// Appends between their look at g_descriptor and the end of their write,
// and whether the calling thread makes one (a signal handler may interrupt
// it with a dup2 of its own).
std::atomic<int> g_appending{0};
__attribute__((tls_model("initial-exec"))) thread_local int t_appending;

bool SameFile(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool HoldFile(const char *path, int descriptor) {
  g_descriptor.store(-1);
  size_t length = path != nullptr ? strlen(path) : kHeldPathSize;
  if (descriptor < 0 || length >= kHeldPathSize) return false;
  int saved = errno;
  struct stat held, named;
  int flags = fcntl(descriptor, F_GETFL);
  bool taken = flags != -1 && (flags & O_APPEND) &&
               (flags & O_ACCMODE) != O_RDONLY &&
               fstat(descriptor, &held) == 0 && S_ISREG(held.st_mode) &&
               stat(path, &named) == 0 && SameFile(held, named);
  errno = saved;
  if (!taken) return false;
  memcpy(g_path, path, length + 1);
  g_device = held.st_dev;
  g_inode = held.st_ino;
  g_descriptor.store(descriptor, std::memory_order_release);
  return true;
}

bool IsHeldPath(const char *path) {
  return g_path[0] != '\0' && strcmp(path, g_path) == 0;
}

namespace {

// Counts an append in flight for ReleaseHeldNumber, for the scope.
class Appending {
 public:
  Appending() {
    g_appending.fetch_add(1, std::memory_order_seq_cst);
    ++t_appending;
  }
  ~Appending() {
    --t_appending;
    g_appending.fetch_sub(1, std::memory_order_release);
  }
  Appending(const Appending &) = delete;
  Appending &operator=(const Appending &) = delete;
};

}  // namespace

bool AppendHeld(const char *path, const void *data, size_t size, int *result) {
  // Counted before the descriptor is read: a release either finds this
  // append counted and waits for it, or this append finds the hold gone.
  Appending appending;
  int descriptor = g_descriptor.load(std::memory_order_seq_cst);
  if (descriptor < 0 || strcmp(path, g_path) != 0) return false;
  int saved = errno;
  struct stat now;
  if (fstat(descriptor, &now) != 0 || now.st_dev != g_device ||
      now.st_ino != g_inode || now.st_nlink == 0) {
    // Closed or reused by the program, or the file removed (a new one is
    // to be made at the path): from now on the path, for good.
    g_descriptor.compare_exchange_strong(descriptor, -1);
    errno = saved;
    return false;
  }
  // O_APPEND puts the whole record at the end, as the path's append does.
  ssize_t n;
  do {
    n = write(descriptor, data, size);
  } while (n < 0 && errno == EINTR);
  *result = n >= 0 && static_cast<size_t>(n) == size ? 1 : n > 0 ? -1 : 0;
  errno = saved;
  return true;
}

void ReleaseHeldNumber(int number) {
  int held = g_descriptor.load(std::memory_order_relaxed);
  if (held < 0 || held != number ||
      !g_descriptor.compare_exchange_strong(held, -1,
                                            std::memory_order_seq_cst))
    return;
  int saved = errno;
  // The calling thread's own append, which a signal handler interrupted,
  // cannot end while it waits here: it is not waited for.
  while (g_appending.load(std::memory_order_seq_cst) > t_appending)
    sched_yield();
  errno = saved;
}

}  // namespace nq
