// Records for the held file put into the ring netquill-run reads.
#include "entries/ring_records.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "entries/held_file.h"
#include "entries/lost_records.h"
#include "records_share.h"

namespace nq {
namespace {

nqring::RecordsShare *g_share;
nqring::Ring g_ring;
// Set once the ring is mapped, cleared for good once the launcher has
// ended or is gone.
std::atomic<bool> g_on{false};
std::atomic<bool> g_track_putters{false};  // LeaveRing may be called
std::atomic<std::uint32_t> g_pid{0};
__attribute__((tls_model("initial-exec"))) thread_local std::uint32_t t_tid;
__attribute__((
    tls_model("initial-exec"))) thread_local nqring::WriterState t_writer;

// A full ring is waited on this long, in steps, before the record is
// appended by this process; a launcher whose reader made no pass for
// longer is asked whether it still runs.
constexpr long kFullWaitNs = 20 * 1000 * 1000;
constexpr long kFullStepNs = 200 * 1000;
constexpr std::int64_t kReaderQuietNs = 100 * 1000 * 1000;

std::uint32_t ThreadId() {
  if (t_tid == 0) t_tid = static_cast<std::uint32_t>(syscall(SYS_gettid));
  return t_tid;
}

// Read after every record: the coarse clock, a few nanoseconds, is fine
// enough for a launcher silent for 100 ms.
std::int64_t NowNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return now.tv_sec * 1000000000ll + now.tv_nsec;
}

bool IsLaunchersShare(int descriptor) {
  constexpr int kSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL;
  struct stat st;
  return fcntl(descriptor, F_GET_SEALS) == kSeals &&
         fstat(descriptor, &st) == 0 && S_ISREG(st.st_mode) &&
         st.st_size == static_cast<off_t>(nqring::ShareBytes());
}

// A record the ring still held when its launcher went: appended here, to
// the file it was meant for, by path.
void WriteByPath(void *, std::uint32_t pid, const char *text, size_t length) {
  char path[sizeof g_share->path + 16];
  nqring::RecordPath(*g_share, pid, path);
  int fd =
      open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) return;
  ssize_t ignored = write(fd, text, length);
  (void)ignored;
  close(fd);
}

// The launcher is gone (killed): one of its processes writes what the ring
// still holds, once every record being put has been, and the ring is left.
void TakeOverFromLauncher() {
  // While the launcher's keeper lives, it writes them: it knows what the
  // launcher wrote of them already.
  const pid_t keeper = static_cast<pid_t>(g_share->keeper_pid.load());
  if (keeper != 0 && (kill(keeper, 0) == 0 || errno == EPERM)) return;
  const std::uint32_t pid = g_pid.load(std::memory_order_relaxed);
  if (!nqring::TakeReader(g_ring, pid, nqring::ThreadRuns)) return;
  nqring::CloseRing(g_ring, nqring::ThreadRuns, 2000ll * 1000 * 1000);
  nqring::RingReader reader;
  reader.DrainAll(g_ring, WriteByPath, nullptr, NowNs, nullptr,
                  2000ll * 1000 * 1000);
}

bool LauncherGone() {
  if (!nqring::ReaderGone(g_ring, NowNs(), kReaderQuietNs)) return false;
  const std::uint32_t reader =
      g_ring.control()->reader_pid.load(std::memory_order_acquire);
  return reader != 0 && !nqring::ThreadRuns(reader, reader);
}

void StopUsingRing() { g_on.store(false, std::memory_order_release); }

}  // namespace

bool ShareRecordsIn(int descriptor, bool count_lost) {
  if (descriptor < 0) return false;
  int saved = errno;
  void *at = IsLaunchersShare(descriptor)
                 ? mmap(nullptr, nqring::ShareBytes(), PROT_READ | PROT_WRITE,
                        MAP_SHARED, descriptor, 0)
                 : MAP_FAILED;
  errno = saved;
  if (at == MAP_FAILED) return false;
  auto *share = static_cast<nqring::RecordsShare *>(at);
  if (memcmp(share->magic, nqring::kShareMagic, sizeof share->magic) != 0 ||
      !g_ring.Open(nqring::RingOf(share),
                   nqring::ShareBytes() - sizeof *share)) {
    munmap(at, nqring::ShareBytes());
    errno = saved;
    return false;
  }
  g_share = share;
  if (count_lost) CountLostAt(&share->lost);
  // Only an attached process leaves the ring while it runs (a detach).
  g_track_putters.store(!count_lost, std::memory_order_relaxed);
  g_pid.store(static_cast<std::uint32_t>(getpid()), std::memory_order_relaxed);
  // A process started under a file-size limit appends for itself, where
  // the limit holds, as its parent did.
  struct rlimit size_limit;
  if (getrlimit(RLIMIT_FSIZE, &size_limit) == 0 &&
      size_limit.rlim_cur == RLIM_INFINITY)
    g_on.store(true, std::memory_order_release);
  errno = saved;
  return true;
}

void AppendOwnRecords() { StopUsingRing(); }

// The threads inside PutInRing, which LeaveRing waits for before the ring
// is unmapped; counted only in a process that can leave it, so that a
// started program's threads share no counter.
std::atomic<int> g_putting{0};

bool PutInRing(const char *path, const void *data, size_t size) {
  if (!g_on.load(std::memory_order_acquire) || !IsHeldPath(path)) return false;
  const bool tracked = g_track_putters.load(std::memory_order_relaxed);
  if (tracked) {
    g_putting.fetch_add(1);
    if (!g_on.load()) {
      g_putting.fetch_sub(1);
      return false;
    }
  }
  int saved = errno;
  bool put = false;
  for (long waited = 0;;) {
    const nqring::PutResult result =
        nqring::Put(g_ring, t_writer, g_pid.load(std::memory_order_relaxed),
                    ThreadId(), data, size);
    if (result == nqring::PutResult::kPut) {
      put = true;
      break;
    }
    if (result == nqring::PutResult::kClosed) StopUsingRing();
    if (result != nqring::PutResult::kFull || waited >= kFullWaitNs) break;
    if (LauncherGone()) {
      StopUsingRing();
      TakeOverFromLauncher();
      break;
    }
    const struct timespec step = {0, kFullStepNs};
    nanosleep(&step, nullptr);
    waited += kFullStepNs;
  }
  // A launcher that stopped reading is noticed by the records after it.
  if (put && LauncherGone()) {
    StopUsingRing();
    TakeOverFromLauncher();
  }
  if (tracked) g_putting.fetch_sub(1, std::memory_order_release);
  errno = saved;
  return put;
}

void LeaveRing() {
  g_on.store(false);
  // A thread that saw the ring in use finishes its record first; one that
  // does not within a second (stopped, killed) keeps the mapping in place.
  for (int i = 0; i < 1000 && g_putting.load() != 0; ++i) {
    const struct timespec step = {0, 1000 * 1000};
    nanosleep(&step, nullptr);
  }
  if (g_share == nullptr || g_putting.load() != 0) return;
  munmap(g_share, nqring::ShareBytes());
  g_share = nullptr;
}

void RingInChild() {
  g_pid.store(static_cast<std::uint32_t>(getpid()), std::memory_order_relaxed);
  t_tid = 0;
  t_writer = nqring::WriterState{};
}

}  // namespace nq
