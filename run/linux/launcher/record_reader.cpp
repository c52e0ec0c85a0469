#include "record_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "records_share.h"
#include "trace_env.h"

namespace nqrun {
namespace {

// How often the reader looks when the ring was empty, and how long the
// end waits for records being written.
constexpr long kIdlePassNs = 2 * 1000 * 1000;
constexpr std::int64_t kCloseWaitNs = 2000ll * 1000 * 1000;

// The trace files written to: one, or per process the latest few, each
// opened for appending as the program's own records would be.
class Files {
 public:
  void Begin(const char *path, bool per_process) {
    snprintf(path_, sizeof path_, "%s", path);
    per_process_ = per_process;
  }

  // Gathers text for pid's file; written when the file changes, the buffer
  // fills, or Flush is called.
  void Add(std::uint32_t pid, const char *text, size_t length) {
    const std::uint32_t key = per_process_ ? pid : 0;
    if (key != pending_key_ || pending_ + length > sizeof buffer_) Flush();
    pending_key_ = key;
    if (length > sizeof buffer_) {
      Write(key, text, length);
      return;
    }
    memcpy(buffer_ + pending_, text, length);
    pending_ += length;
  }

  void Flush() {
    if (pending_ > 0) Write(pending_key_, buffer_, pending_);
    pending_ = 0;
  }

  void CloseAll() {
    Flush();
    for (Open &o : open_) {
      if (o.fd >= 0) close(o.fd);
      o = Open{};
    }
  }

 private:
  struct Open {
    std::uint32_t key = 0;
    int fd = -1;
    std::uint64_t used = 0;
  };

  // A file removed since it was opened is made again at its path, as the
  // program's own appends would make it.
  int FileOf(std::uint32_t key) {
    Open *slot = &open_[0];
    for (Open &o : open_) {
      if (o.fd >= 0 && o.key == key) {
        struct stat st;
        if (fstat(o.fd, &st) == 0 && st.st_nlink > 0) {
          o.used = ++clock_;
          return o.fd;
        }
        slot = &o;
        break;
      }
      if (o.fd < 0 || o.used < slot->used) slot = &o;
    }
    if (slot->fd >= 0) close(slot->fd);
    char path[sizeof path_ + 16];
    if (per_process_)
      snprintf(path, sizeof path, "%s.%u", path_, key);
    else
      snprintf(path, sizeof path, "%s", path_);
    slot->fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    slot->key = key;
    slot->used = ++clock_;
    return slot->fd;
  }

  void Write(std::uint32_t key, const char *text, size_t length) {
    const int fd = FileOf(key);
    while (fd >= 0 && length > 0) {
      const ssize_t n = write(fd, text, length);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      text += n;
      length -= static_cast<size_t>(n);
    }
  }

  char path_[nqdrop::kTracePathSize];
  bool per_process_ = false;
  Open open_[16];
  std::uint64_t clock_ = 0;
  std::uint32_t pending_key_ = 0;
  size_t pending_ = 0;
  char buffer_[256 * 1024];
};

nqring::RecordsShare *g_share;
nqring::Ring g_ring;
Files g_files;
pthread_t g_thread;
std::atomic<bool> g_stop{false};

void Keep(void *, std::uint32_t pid, const char *text, size_t length) {
  g_files.Add(pid, text, length);
}

void FlushFiles(void *) { g_files.Flush(); }

// The write end of the keeper's pipe, which only the launcher holds.
int g_keeper_pipe = -1;

// The keeper: a process of its own, in a group of its own, that outlives a
// launcher killed (SIGKILL) and writes what the ring still holds, whatever
// the traced processes are doing. The end of its pipe wakes it: when the
// launcher has closed and emptied the ring itself, it has nothing to do.
[[noreturn]] void KeepRing(int read_end) {
  setsid();
  // The program's output ends when the program and the launcher end, not
  // the keeper: it holds none of the standard streams.
  const int none = open("/dev/null", O_RDWR | O_CLOEXEC);
  for (int stream = 0; stream < 3 && none >= 0; ++stream) dup2(none, stream);
  constexpr int kIgnored[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE};
  for (int ignored : kIgnored) signal(ignored, SIG_IGN);
  char byte;
  while (read(read_end, &byte, 1) < 0 && errno == EINTR) {
  }
  nqring::RingControl *c = g_ring.control();
  const struct timespec pause = {0, 1000 * 1000};
  // The launcher's descriptors close a moment before it is known gone.
  for (int i = 0; i < 2000; ++i) {
    if (c->closed.load() != 0 && c->released.load() == c->reserved.load())
      _exit(0);
    if (nqring::TakeReader(g_ring, static_cast<std::uint32_t>(getpid()),
                           nqring::ThreadRuns))
      break;
    nanosleep(&pause, nullptr);
  }
  nqring::CloseRing(g_ring, nqring::ThreadRuns, kCloseWaitNs);
  nqring::RingReader reader;
  reader.Drain(g_ring, Keep, nullptr, nqring::MonotonicNs(), FlushFiles);
  g_files.CloseAll();
  _exit(0);
}

// Starts the keeper, a grandchild left to the system: the launcher's own
// waits never see it.
bool StartKeeper() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  const pid_t first = fork();
  if (first == 0) {
    close(ends[1]);
    if (fork() == 0) KeepRing(ends[0]);
    _exit(0);
  }
  close(ends[0]);
  if (first < 0) {
    close(ends[1]);
    return false;
  }
  while (waitpid(first, nullptr, 0) < 0 && errno == EINTR) {
  }
  g_keeper_pipe = ends[1];
  return true;
}

void *ReadRecords(void *) {
  nqring::RingReader reader;
  for (unsigned pass = 1; !g_stop.load(std::memory_order_acquire); ++pass) {
    const size_t taken =
        reader.Drain(g_ring, Keep, nullptr, nqring::MonotonicNs(), FlushFiles);
    if (pass % 512 == 0) reader.SweepSlots(g_ring);
    if (taken == 0) {
      const struct timespec idle = {0, kIdlePassNs};
      nanosleep(&idle, nullptr);
    }
  }
  return nullptr;
}

}  // namespace

bool SharedRecordsAsked() {
  const char *asked = getenv(nqdrop::kSharedRecordsVariable);
  return asked != nullptr && strcmp(asked, "1") == 0;
}

bool StartRecordReader(const char *trace_path, bool per_process) {
  unsetenv(nqdrop::kRecordsVariable);  // never one of an outer launcher's
  // Under a file-size limit the processes append for themselves, where the
  // limit holds (and a memory file of the ring's size would pass it).
  struct rlimit size_limit;
  if (trace_path == nullptr ||
      strlen(trace_path) >= sizeof g_share->path - 12 ||
      getrlimit(RLIMIT_FSIZE, &size_limit) != 0 ||
      size_limit.rlim_cur != RLIM_INFINITY)
    return false;
  const size_t bytes = nqring::ShareBytes();
  int fd = memfd_create("netquill-records", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return false;
  void *at = MAP_FAILED;
  struct rlimit files;
  int high = -1;
  if (ftruncate(fd, static_cast<off_t>(bytes)) == 0 &&
      fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) == 0 &&
      getrlimit(RLIMIT_NOFILE, &files) == 0) {
    at = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    // Beside the held trace file, at the top of the numbers programs use.
    rlim_t limit = files.rlim_cur < 1024 ? files.rlim_cur : 1024;
    if (at != MAP_FAILED)
      high = fcntl(fd, F_DUPFD, static_cast<int>(limit / 4 * 3));
  }
  close(fd);
  auto *share = static_cast<nqring::RecordsShare *>(at);
  if (high < 0 ||
      !g_ring.Format(nqring::RingOf(share), bytes - sizeof *share,
                     nqring::kShareRingBytes, nqring::kShareWriters) ||
      !nqring::TakeReader(g_ring, static_cast<std::uint32_t>(getpid()),
                          nqring::ThreadRuns)) {
    if (at != MAP_FAILED) munmap(at, bytes);
    if (high >= 0) close(high);
    return false;
  }
  share->per_process = per_process ? 1 : 0;
  snprintf(share->path, sizeof share->path, "%s", trace_path);
  memcpy(share->magic, nqring::kShareMagic, sizeof share->magic);
  g_share = share;
  g_files.Begin(trace_path, per_process);
  g_ring.control()->reader_beat_ns.store(nqring::MonotonicNs());
  if (!StartKeeper() ||
      pthread_create(&g_thread, nullptr, ReadRecords, nullptr) != 0) {
    munmap(at, bytes);
    close(high);
    g_share = nullptr;
    return false;
  }
  char number[16];
  snprintf(number, sizeof number, "%d", high);
  setenv(nqdrop::kRecordsVariable, number, 1);
  return true;
}

void StopRecordReader() {
  if (g_share == nullptr) return;
  g_stop.store(true, std::memory_order_release);
  pthread_join(g_thread, nullptr);
  nqring::CloseRing(g_ring, nqring::ThreadRuns, kCloseWaitNs);
  nqring::RingReader reader;
  reader.Drain(g_ring, Keep, nullptr, nqring::MonotonicNs(), FlushFiles);
  g_files.CloseAll();
  close(g_keeper_pipe);  // the keeper finds the ring closed and empty
}

}  // namespace nqrun
