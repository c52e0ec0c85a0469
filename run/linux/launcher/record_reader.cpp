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

#include "gathered_text.h"
#include "records_share.h"
#include "trace_env.h"
#include "written_parts.h"

namespace nqrun {
namespace {

// How often the reader looks when the ring was empty, and how long the
// end waits for records being written.
constexpr long kIdlePassNs = 2 * 1000 * 1000;
constexpr std::int64_t kCloseWaitNs = 2000ll * 1000 * 1000;

// The trace files written to: one, or per process the latest few, each
// opened for appending as the program's own records would be.
nqring::WrittenPart *NoteWrite(std::uint32_t key, std::uint64_t at,
                               std::uint64_t bytes);

class Files {
  friend class nqring::GatheredText;  // its Write

 public:
  void Begin(const char *path, bool per_process) {
    snprintf(path_, sizeof path_, "%s", path);
    per_process_ = per_process;
  }

  // Gathers text for pid's file; written when the file changes, the buffer
  // fills, or Flush is called.
  void Add(std::uint32_t pid, const char *text, size_t length) {
    const std::uint32_t key = per_process_ ? pid : 0;
    const size_t written =
        before_ != nullptr ? before_->Already(key, text, length, ReadAt, this)
                           : 0;
    if (written < length)
      gathered_.Add(key, text + written, length - written, *this);
  }

  void Flush() { gathered_.Flush(*this); }

  std::uint64_t lost() const { return gathered_.lost(); }

  void CloseAll() {
    Flush();
    for (Open &o : open_) {
      if (o.fd >= 0) close(o.fd);
      o = Open{};
    }
  }

  // A keeper's: what the launcher wrote of the records it writes again,
  // which go out no second time where the file holds them as they are.
  void Expect(nqring::WrittenBefore *before) { before_ = before; }

 private:
  struct Open {
    std::uint32_t key = 0;
    int fd = -1;
    std::uint64_t used = 0;
  };

  static long ReadAt(void *context, std::uint32_t key, std::uint64_t at,
                     char *out, size_t n, std::uint64_t *size) {
    const int fd = static_cast<Files *>(context)->FileOf(key, size);
    return fd >= 0 ? pread(fd, out, n, static_cast<off_t>(at)) : -1;
  }

  // A file removed since it was opened is made again at its path, as the
  // program's own appends would make it. Its size into *size.
  int FileOf(std::uint32_t key, std::uint64_t *size) {
    Open *slot = &open_[0];
    struct stat st;
    for (Open &o : open_) {
      if (o.fd >= 0 && o.key == key) {
        if (fstat(o.fd, &st) == 0 && st.st_nlink > 0) {
          o.used = ++clock_;
          *size = static_cast<std::uint64_t>(st.st_size);
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
    slot->fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    slot->key = key;
    slot->used = ++clock_;
    *size = slot->fd >= 0 && fstat(slot->fd, &st) == 0
                ? static_cast<std::uint64_t>(st.st_size)
                : 0;
    return slot->fd;
  }

  // Each write noted in the share first, where the file ends (another
  // process may append between), then where the kernel put it.
  size_t Write(std::uint32_t key, const char *text, size_t length) {
    size_t appended = 0;
    std::uint64_t size = 0;
    const int fd = FileOf(key, &size);
    while (fd >= 0 && length > 0) {
      nqring::WrittenPart *part = NoteWrite(key, size, length);
      const ssize_t n = write(fd, text, length);
      const off_t end = n > 0 ? lseek(fd, 0, SEEK_CUR) : -1;
      if (part != nullptr) {
        part->at = end >= n ? static_cast<std::uint64_t>(end - n) : 0;
        part->bytes = end >= n ? static_cast<std::uint64_t>(n) : 0;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      size = static_cast<std::uint64_t>(end);
      text += n;
      length -= static_cast<size_t>(n);
      appended += static_cast<size_t>(n);
    }
    return appended;
  }

  char path_[nqdrop::kTracePathSize];
  bool per_process_ = false;
  Open open_[16];
  nqring::WrittenBefore *before_ = nullptr;
  std::uint64_t clock_ = 0;
  nqring::GatheredText gathered_;
};

nqring::RecordsShare *g_share;
int g_share_descriptor = -1;  // the ring's, as the program is told it
nqring::Ring g_ring;
Files g_files;
pthread_t g_thread;
std::atomic<bool> g_stop{false};

bool g_keeping = false;  // in the keeper, which notes nothing

// Notes a write of the launcher's in the share before it is made (the
// keeper writes what was not noted).
nqring::WrittenPart *NoteWrite(std::uint32_t key, std::uint64_t at,
                               std::uint64_t bytes) {
  if (g_keeping || g_share == nullptr) return nullptr;
  return nqring::NoteWrite(*g_share, g_ring, key, at, bytes);
}

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
  g_share->keeper_pid.store(static_cast<std::uint32_t>(getpid()));
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
  g_keeping = true;
  static nqring::WrittenBefore before;
  before.Expect(*g_share, g_ring);
  g_files.Expect(&before);
  nqring::RingReader reader;
  reader.DrainAll(g_ring, Keep, nullptr, nqring::MonotonicNs, FlushFiles,
                  kCloseWaitNs);
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
    // Given back: what was noted of the pass's writes is of no more use.
    if (taken != 0) nqring::ForgetWrites(*g_share);
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
  return asked == nullptr || strcmp(asked, "0") != 0;
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
  // The descriptor stays here, closed on exec: each traced process opens
  // it through /proc, maps it and closes it again, so that the program's
  // descriptor table holds nothing of the ring.
  void *at = MAP_FAILED;
  if (ftruncate(fd, static_cast<off_t>(bytes)) == 0 &&
      fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) == 0)
    at = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  auto *share = static_cast<nqring::RecordsShare *>(at);
  if (at == MAP_FAILED ||
      !g_ring.Format(nqring::RingOf(share), bytes - sizeof *share,
                     nqring::kShareRingBytes, nqring::kShareWriters) ||
      !nqring::TakeReader(g_ring, static_cast<std::uint32_t>(getpid()),
                          nqring::ThreadRuns)) {
    if (at != MAP_FAILED) munmap(at, bytes);
    close(fd);
    return false;
  }
  share->per_process = per_process ? 1 : 0;
  memcpy(share->lost.magic, NQP_LOST_MAGIC, sizeof share->lost.magic);
  snprintf(share->path, sizeof share->path, "%s", trace_path);
  memcpy(share->magic, nqring::kShareMagic, sizeof share->magic);
  g_share = share;
  g_files.Begin(trace_path, per_process);
  g_ring.control()->reader_beat_ns.store(nqring::MonotonicNs());
  if (!StartKeeper() ||
      pthread_create(&g_thread, nullptr, ReadRecords, nullptr) != 0) {
    munmap(at, bytes);
    close(fd);
    g_share = nullptr;
    return false;
  }
  char where[64];
  snprintf(where, sizeof where, "/proc/%d/fd/%d", static_cast<int>(getpid()),
           fd);
  setenv(nqdrop::kRecordsVariable, where, 1);
  g_share_descriptor = fd;
  return true;
}

int RecordsDescriptor() { return g_share != nullptr ? g_share_descriptor : -1; }

NQP_LostRecords *RecordsLostCount() {
  if (g_share == nullptr) return nullptr;
  unsetenv(nqdrop::kLostVariable);  // never one of an outer launcher's
  return &g_share->lost;
}

void StopRecordReader() {
  if (g_share == nullptr) return;
  g_stop.store(true, std::memory_order_release);
  pthread_join(g_thread, nullptr);
  nqring::CloseRing(g_ring, nqring::ThreadRuns, kCloseWaitNs);
  nqring::RingReader reader;
  reader.DrainAll(g_ring, Keep, nullptr, nqring::MonotonicNs, FlushFiles,
                  kCloseWaitNs);
  g_files.CloseAll();
  __atomic_fetch_add(
      &g_share->lost.lost,
      g_ring.control()->lost.load(std::memory_order_relaxed) + g_files.lost(),
      __ATOMIC_RELAXED);
  close(g_keeper_pipe);  // the keeper finds the ring closed and empty
}

}  // namespace nqrun
