// Records for the held file put into the ring netquill-run.exe reads.
#include "entries/ring_records_win32.h"

#include <windows.h>

#include <stdint.h>
#include <string.h>

#include <atomic>

#include "platform/os.h"
#include "records_share.h"
#include "trace_env.h"
#include "written_parts.h"

namespace nq {
namespace {

nqring::RecordsShare *g_share;
nqring::Ring g_ring;
char g_ring_path[nqdrop::kTracePathSize];  // the records the ring takes
HANDLE g_launcher;  // the reader that made the ring: its end is waited on
HANDLE g_wake;      // the event the reader waits on when the ring is empty
HANDLE g_watch;     // the pool's wait on the launcher's end
DWORD g_launcher_id;
// Set once the ring is mapped, cleared once the launcher has ended or is
// gone, or the process is detached.
std::atomic<bool> g_on{false};
// The ring of a launcher that attached to the process, left at the detach:
// set before g_on, it makes the threads putting a record count themselves,
// so that the ring is unmapped only once none is.
std::atomic<bool> g_attached{false};
std::atomic<int> g_putting{0};
char g_attached_name[64];                // the section joined at an attach
void (*g_session_ended)(unsigned long);  // told of the attacher's end
// Each thread's writer slot, plus one (0: none yet).
DWORD g_slot_index = TLS_OUT_OF_INDEXES;

// A full ring is waited on this long, in steps, before the record is
// appended by this process; a launcher whose reader made no pass for
// longer than the quiet time is asked whether it still runs.
constexpr std::int64_t kFullWaitNs = 20 * 1000 * 1000;
constexpr int kFullWaitSteps = 20;
constexpr std::int64_t kReaderQuietNs = 100 * 1000 * 1000;
constexpr std::int64_t kCloseWaitNs = 2000ll * 1000 * 1000;
// A process ending waits this many milliseconds at most for the launcher
// to take what it put.
constexpr int kExitWaitSteps = 500;

// A record the ring still held when its launcher went: appended here, as
// the launcher would have, to the file it was meant for.
void WriteByPath(void *, std::uint32_t pid, const char *text, size_t length) {
  char path[sizeof g_share->path + 16];
  nqring::RecordPath(*g_share, pid, path);
  NativeOsServices().append(path, text, length);
}

// Up to n bytes of key's trace file from offset at, and its size: opened
// for each read, as only the records the launcher was writing when it was
// killed are compared.
long ReadTraceAt(void *, std::uint32_t key, std::uint64_t at, char *out,
                 size_t n, std::uint64_t *size) {
  char path[sizeof g_share->path + 16];
  nqring::RecordPath(*g_share, key, path);
  HANDLE file =
      CreateFileA(path, GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  LARGE_INTEGER bytes, from;
  from.QuadPart = static_cast<LONGLONG>(at);
  DWORD got = 0;
  const bool read = GetFileSizeEx(file, &bytes) &&
                    SetFilePointerEx(file, from, nullptr, FILE_BEGIN) &&
                    ReadFile(file, out, static_cast<DWORD>(n), &got, nullptr);
  CloseHandle(file);
  if (!read) return -1;
  *size = static_cast<std::uint64_t>(bytes.QuadPart);
  return static_cast<long>(got);
}

// What the launcher wrote of the records the ring still holds.
nqring::WrittenBefore g_written_before;

void WriteAfterLauncher(void *, std::uint32_t pid, const char *text,
                        size_t length) {
  const std::uint32_t key = g_share->per_process != 0 ? pid : 0;
  const size_t there =
      g_written_before.Already(key, text, length, ReadTraceAt, nullptr);
  if (there < length) WriteByPath(nullptr, pid, text + there, length - there);
}

// The launcher is gone (killed): this process writes what the ring still
// holds, once every record being put has been, and the ring is left. What
// the launcher had written of its last pass is not written again.
void TakeOverFromLauncher() {
  if (!nqring::TakeReader(g_ring, GetCurrentProcessId(), nqring::ThreadRuns))
    return;
  nqring::CloseRing(g_ring, nqring::ThreadRuns, kCloseWaitNs);
  g_written_before.Expect(*g_share, g_ring);
  nqring::RingReader reader;
  reader.DrainAll(g_ring, WriteAfterLauncher, nullptr, nqring::MonotonicNs,
                  nullptr, kCloseWaitNs);
}

// Whether the launcher has ended; asked of the system only when its
// reader has been silent for a while.
bool LauncherGone() {
  return nqring::ReaderGone(g_ring, nqring::MonotonicNs(), kReaderQuietNs) &&
         WaitForSingleObject(g_launcher, 0) == WAIT_OBJECT_0;
}

// The take-over from a launcher that is gone, once a process: the ring's
// reader is the process, not a thread, so a second thread taking over
// would write the same records again.
enum TakeOver { kNone, kUnderWay, kDone };
std::atomic<int> g_take_over{kNone};
// A thread that would append its record itself while another writes what
// the ring holds waits for that first, at most this many milliseconds:
// its earlier records are in the ring.
constexpr int kTakeOverWaitSteps = 10000;

void LeaveForLauncherGone() {
  g_on.store(false, std::memory_order_release);
  int none = kNone;
  if (!g_take_over.compare_exchange_strong(none, kUnderWay,
                                           std::memory_order_acq_rel))
    return;
  TakeOverFromLauncher();
  g_take_over.store(kDone, std::memory_order_release);
}

void WaitForTakeOver() {
  for (int step = 0; step < kTakeOverWaitSteps &&
                     g_take_over.load(std::memory_order_acquire) == kUnderWay;
       ++step)
    nqring::PauseBriefly();
}

// The launcher has ended. Killed, it leaves the records it had not written
// in the ring, which this process writes now, on a thread of the pool,
// even while the program's own threads are all blocked in calls. After a
// launcher that ended as it should, the ring is closed and empty.
// An attaching launcher's end also ends its session: the process stops
// tracing, as it would at a detach.
VOID CALLBACK LauncherEnded(PVOID, BOOLEAN) {
  if (g_on.load(std::memory_order_acquire)) LeaveForLauncherGone();
  if (g_attached.load(std::memory_order_acquire) && g_session_ended != nullptr)
    g_session_ended(g_launcher_id);
}

// The reader looks at the ring after it says it waits; this writer looks
// at what it says after its record is in: one of them sees the other.
void WakeReader() {
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (g_share->reader_asleep.load(std::memory_order_relaxed) != 0 &&
      g_share->reader_asleep.exchange(0, std::memory_order_acq_rel) != 0 &&
      g_wake != nullptr)
    SetEvent(g_wake);
}

bool IsLaunchersShare(const nqring::RecordsShare *share) {
  return memcmp(share->magic, nqring::kShareMagic, sizeof share->magic) == 0;
}

// Whether the launcher writes this process's records to path: a process
// that another launcher attached to, or that a program attached to
// started, traces to that launcher's file, while the environment still
// names the ring of the launcher that started the program.
bool WritesThisProcessTo(const nqring::RecordsShare &share, const char *path) {
  char records_go_to[sizeof share.path + 16];
  nqring::RecordPath(share, GetCurrentProcessId(), records_go_to);
  return strcmp(records_go_to, path) == 0;
}

}  // namespace

namespace {

// Maps the section name names and takes it as the ring records for path
// go to. False, and nothing changed, when there is none, it is not such a
// ring, or its launcher writes this process's records elsewhere.
bool JoinRing(const char *name, const char *path, bool attached) {
  const size_t n = strlen(name);
  const size_t length = strlen(path);
  if (n == 0 || n >= 64 || length >= sizeof g_ring_path ||
      g_on.load(std::memory_order_acquire) || g_share != nullptr)
    return false;
  wchar_t wide[64];  // the launcher names it in ASCII
  for (size_t i = 0; i <= n; ++i) wide[i] = name[i];
  // The reader's event: the section's name and a suffix.
  wchar_t wake[64 + sizeof nqring::kWakeSuffix];
  for (size_t i = 0; i < n; ++i) wake[i] = name[i];
  for (size_t i = 0; i < sizeof nqring::kWakeSuffix; ++i)
    wake[n + i] = nqring::kWakeSuffix[i];
  HANDLE section =
      OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, wide);
  void *at = section != nullptr ? MapViewOfFile(section, FILE_MAP_WRITE, 0, 0,
                                                nqring::ShareBytes())
                                : nullptr;
  // The view keeps the section; the handle would only keep its name.
  if (section != nullptr) CloseHandle(section);
  // A section smaller than the share is not mapped at all.
  auto *share = static_cast<nqring::RecordsShare *>(at);
  if (at == nullptr || !IsLaunchersShare(share) ||
      !WritesThisProcessTo(*share, path) ||
      !g_ring.Open(nqring::RingOf(share),
                   nqring::ShareBytes() - sizeof *share)) {
    if (at != nullptr) UnmapViewOfFile(at);
    return false;
  }
  const std::uint32_t reader =
      g_ring.control()->reader_pid.load(std::memory_order_acquire);
  g_launcher = OpenProcess(SYNCHRONIZE, FALSE, reader);
  g_launcher_id = reader;
  if (g_slot_index == TLS_OUT_OF_INDEXES) g_slot_index = TlsAlloc();
  if (g_launcher == nullptr || g_slot_index == TLS_OUT_OF_INDEXES) {
    if (g_launcher != nullptr) CloseHandle(g_launcher);
    g_launcher = nullptr;
    UnmapViewOfFile(at);
    return false;
  }
  memcpy(g_ring_path, path, length + 1);
  // Without it, a reader waiting on an empty ring finds the record when
  // its wait times out.
  g_wake = OpenEventW(EVENT_MODIFY_STATE, FALSE, wake);
  g_share = share;
  g_take_over.store(kNone, std::memory_order_relaxed);
  g_attached.store(attached, std::memory_order_release);
  g_on.store(true, std::memory_order_release);
  // Without the wait, the records are noticed at this process's next
  // record or at its end.
  if (!RegisterWaitForSingleObject(&g_watch, g_launcher, LauncherEnded, nullptr,
                                   INFINITE,
                                   WT_EXECUTEONLYONCE | WT_EXECUTELONGFUNCTION))
    g_watch = nullptr;
  return true;
}

}  // namespace

bool ShareRecordsFromEnvironment(const char *held_path) {
  const DWORD saved = GetLastError();
  char name[64];
  const DWORD n = GetEnvironmentVariableA(nqdrop::kRecordsSectionVariable, name,
                                          sizeof name);
  const bool joined =
      n > 0 && n < sizeof name && JoinRing(name, held_path, false);
  SetLastError(saved);
  return joined;
}

bool JoinAttachersRing(const char *name, const char *path,
                       void (*session_ended)(unsigned long launcher)) {
  const DWORD saved = GetLastError();
  if (g_attached.load(std::memory_order_acquire) &&
      strcmp(name, g_attached_name) != 0)
    LeaveAttachersRing();
  bool joined = g_attached.load(std::memory_order_acquire);
  if (!joined) {
    g_session_ended = session_ended;
    joined = JoinRing(name, path, true);
    if (joined) memcpy(g_attached_name, name, strlen(name) + 1);
  }
  SetLastError(saved);
  return joined;
}

void LeaveAttachersRing() {
  if (!g_attached.load(std::memory_order_acquire)) return;
  const DWORD saved = GetLastError();
  g_on.store(false, std::memory_order_seq_cst);
  // A thread that saw the ring in use finishes its record first; one that
  // does not within a second (suspended) keeps the view in place.
  for (int step = 0; step < 1000 && g_putting.load() != 0; ++step) Sleep(1);
  if (g_putting.load() == 0) {
    // Waits for a call of LauncherEnded under way to return.
    if (g_watch != nullptr) UnregisterWaitEx(g_watch, INVALID_HANDLE_VALUE);
    if (g_wake != nullptr) CloseHandle(g_wake);
    CloseHandle(g_launcher);
    UnmapViewOfFile(g_share);
    g_watch = g_wake = g_launcher = nullptr;
    g_share = nullptr;
    g_attached_name[0] = '\0';
    g_attached.store(false, std::memory_order_release);
  }
  SetLastError(saved);
}

namespace {

// Counts the calling thread among those using the ring of an attached
// process, for its scope; false when the ring is not to be used.
class InRing {
 public:
  InRing() : tracked_(false), on_(g_on.load(std::memory_order_acquire)) {
    if (!on_ || !g_attached.load(std::memory_order_relaxed)) return;
    tracked_ = true;
    g_putting.fetch_add(1, std::memory_order_seq_cst);
    on_ = g_on.load(std::memory_order_seq_cst);
  }
  ~InRing() {
    if (tracked_) g_putting.fetch_sub(1, std::memory_order_release);
  }
  bool on() const { return on_; }

 private:
  bool tracked_;
  bool on_;
};

bool PutWhileInRing(const char *path, const void *data, size_t size);

}  // namespace

bool PutInRing(const char *path, const void *data, size_t size) {
  InRing in_ring;
  if (!in_ring.on()) {
    if (g_share != nullptr) WaitForTakeOver();
    return false;
  }
  return PutWhileInRing(path, data, size);
}

namespace {

bool PutWhileInRing(const char *path, const void *data, size_t size) {
  if (strcmp(path, g_ring_path) != 0) return false;
  const DWORD saved = GetLastError();
  nqring::WriterState w;
  w.slot =
      static_cast<int>(reinterpret_cast<intptr_t>(TlsGetValue(g_slot_index))) -
      1;
  const int slot_before = w.slot;
  bool put = false;
  std::int64_t waited_since = 0;
  for (int step = 0;; ++step) {
    const nqring::PutResult result = nqring::Put(
        g_ring, w, GetCurrentProcessId(), GetCurrentThreadId(), data, size);
    if (result == nqring::PutResult::kPut) {
      put = true;
      break;
    }
    if (result == nqring::PutResult::kClosed)
      g_on.store(false, std::memory_order_release);
    if (result != nqring::PutResult::kFull) break;
    // Steps of a millisecond under Wine; the tick ends the wait where a
    // step is longer (Windows sleeps for its timer's period).
    const std::int64_t now = nqring::MonotonicNs();
    if (waited_since == 0) waited_since = now;
    if (step >= kFullWaitSteps || now - waited_since >= kFullWaitNs) break;
    if (LauncherGone()) {
      LeaveForLauncherGone();
      break;
    }
    nqring::PauseBriefly();
  }
  if (w.slot != slot_before)
    TlsSetValue(g_slot_index,
                reinterpret_cast<void *>(static_cast<intptr_t>(w.slot + 1)));
  if (put) WakeReader();
  // A launcher that stopped reading is noticed by the records after it.
  if (put && LauncherGone()) LeaveForLauncherGone();
  if (!put) WaitForTakeOver();
  SetLastError(saved);
  return put;
}

}  // namespace

void NoteLostRecord() {
  // Counted while the launcher reads the ring: once it is gone, no one
  // reports them.
  InRing in_ring;
  if (in_ring.on())
    __atomic_fetch_add(&g_share->lost.lost, 1, __ATOMIC_RELAXED);
}

void LeaveRing() {
  if (!g_on.load(std::memory_order_acquire)) return;
  // Records this process put that the launcher has not written yet: it
  // takes them within a pass, unless it is gone, which the system may be
  // a moment in saying of a launcher killed just now.
  const nqring::RingControl *c = g_ring.control();
  const std::uint64_t put = c->reserved.load(std::memory_order_acquire);
  for (int step = 0; step < kExitWaitSteps; ++step) {
    if (c->released.load(std::memory_order_acquire) >= put) return;
    if (WaitForSingleObject(g_launcher, 1) == WAIT_OBJECT_0) {
      LeaveForLauncherGone();
      return;
    }
  }
}

}  // namespace nq
