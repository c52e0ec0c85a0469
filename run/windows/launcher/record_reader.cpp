#include "record_reader.h"

#include <windows.h>

#include <string.h>

#include <atomic>

#include "gathered_text.h"
#include "platform/win32/append_guard_win32.h"
#include "records_share.h"
#include "trace_env.h"
#include "written_parts.h"

namespace nqrun {
namespace {

// How long the end waits for records being written.
constexpr std::int64_t kCloseWaitNs = 2000ll * 1000 * 1000;
// How long the reader waits on an empty ring for a writer to wake it: well
// inside the quiet time after which writers ask whether it still runs.
constexpr DWORD kIdleWaitMs = 20;
constexpr unsigned kPassesBeforeWait = 8;

// Text gathered for one file, appended when the file changes, the buffer
// fills or the pass ends. Each append is made under the file's guard, as
// the program's own records are, and noted in the share first, with where
// it went: a process taking over from a launcher killed before the pass's
// room was given back writes only the records the file lacks.
class Files {
  friend class nqring::GatheredText;  // its Write

 public:
  void Begin(nqring::RecordsShare *share, const nqring::Ring &ring) {
    share_ = share;
    ring_ = ring;
  }

  void Add(std::uint32_t pid, const char *text, size_t length) {
    gathered_.Add(share_->per_process != 0 ? pid : 0, text, length, *this);
  }

  void Flush() { gathered_.Flush(*this); }

  std::uint64_t lost() const { return gathered_.lost(); }

 private:
  size_t Write(std::uint32_t key, const char *text, size_t length) {
    char path[sizeof share_->path + 16];
    nqring::RecordPath(*share_, key, path);
    HANDLE file =
        CreateFileA(path, FILE_APPEND_DATA,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    OVERLAPPED guard;
    const bool guarded = nq::TakeAppendGuard(file, &guard);
    // Where the file ends, under the guard: where this append goes.
    LARGE_INTEGER none = {}, size;
    if (!SetFilePointerEx(file, none, &size, FILE_END)) size.QuadPart = 0;
    nqring::WrittenPart *part = nqring::NoteWrite(
        *share_, ring_, key, static_cast<std::uint64_t>(size.QuadPart), length);
    std::uint64_t appended = 0;
    DWORD written = 0;
    while (
        length > 0 &&
        WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr) &&
        written > 0) {
      text += written;
      length -= written;
      appended += written;
    }
    if (part != nullptr) part->bytes = appended;
    if (guarded) UnlockFileEx(file, 0, 1, 0, &guard);
    CloseHandle(file);
    return static_cast<size_t>(appended);
  }

  nqring::RecordsShare *share_ = nullptr;
  nqring::Ring ring_;
  nqring::GatheredText gathered_;
};

nqring::RecordsShare *g_share;
nqring::Ring g_ring;
Files g_files;
HANDLE g_thread;
HANDLE g_wake;  // set by the writer that finds the reader waiting
char g_section_name[64];
std::atomic<bool> g_stop{false};

void Keep(void *, std::uint32_t pid, const char *text, size_t length) {
  g_files.Add(pid, text, length);
}

void FlushFiles(void *) { g_files.Flush(); }

// After a pass that took nothing: a short sleep while records come, then,
// once the ring has stayed empty for a while, a wait until a writer puts a
// record in it. The wait spares the records of a burst after a quiet spell
// the system timer's period, which is what a short sleep takes on Windows;
// the sleeps spare a steady stream a wake-up call per record. The flag is
// set before the ring is looked at, and a writer looks at it after its
// record is in.
void Idle(unsigned empty_passes) {
  const nqring::RingControl *c = g_ring.control();
  if (empty_passes < kPassesBeforeWait || g_wake == nullptr) {
    Sleep(1);
    return;
  }
  g_share->reader_asleep.store(1, std::memory_order_seq_cst);
  if (c->reserved.load(std::memory_order_seq_cst) ==
      c->released.load(std::memory_order_relaxed))
    WaitForSingleObject(g_wake, kIdleWaitMs);
  else
    Sleep(1);  // a record being written, or left by a writer that is gone
  g_share->reader_asleep.store(0, std::memory_order_relaxed);
}

DWORD WINAPI ReadRecords(void *) {
  nqring::RingReader reader;
  unsigned empty_passes = 0;
  for (unsigned pass = 1; !g_stop.load(std::memory_order_acquire); ++pass) {
    const size_t taken =
        reader.Drain(g_ring, Keep, nullptr, nqring::MonotonicNs(), FlushFiles);
    // Given back: what was noted of the pass's writes is of no more use.
    if (taken != 0) nqring::ForgetWrites(*g_share);
    if (pass % 512 == 0) reader.SweepSlots(g_ring);
    empty_passes = taken == 0 ? empty_passes + 1 : 0;
    if (taken == 0) Idle(empty_passes);
  }
  return 0;
}

char *AppendHex(char *out, DWORD value) {
  for (int shift = 28; shift >= 0; shift -= 4)
    *out++ = "0123456789abcdef"[(value >> shift) & 0xF];
  return out;
}

}  // namespace

bool SharedRecordsAsked() {
  char asked[4];
  const DWORD n = GetEnvironmentVariableA(nqdrop::kSharedRecordsVariable, asked,
                                          sizeof asked);
  return !(n == 1 && asked[0] == '0');
}

bool StartRecordReader(const char *trace_path, bool per_process) {
  // Never one of an outer launcher's.
  SetEnvironmentVariableA(nqdrop::kRecordsSectionVariable, nullptr);
  if (trace_path == nullptr || strlen(trace_path) >= sizeof g_share->path - 12)
    return false;
  // A name no other run shares: this process's id and the time it took
  // it.
  static const char kPrefix[] = "Local\\NetQuillRecords-";
  char name[sizeof kPrefix + 2 * 8 + 1];
  memcpy(name, kPrefix, sizeof kPrefix - 1);
  char *end = AppendHex(name + sizeof kPrefix - 1, GetCurrentProcessId());
  *end++ = '-';
  *AppendHex(end, GetTickCount()) = '\0';
  const size_t bytes = nqring::ShareBytes();
  // Backed by the paging file, zero-filled; kept for the launcher's life
  // by this handle, and for each traced process's by its view.
  HANDLE section =
      CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                         static_cast<DWORD>(bytes), name);
  if (section != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(section);
    return false;
  }
  void *at = section != nullptr
                 ? MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, bytes)
                 : nullptr;
  auto *share = static_cast<nqring::RecordsShare *>(at);
  if (at == nullptr ||
      !g_ring.Format(nqring::RingOf(share), bytes - sizeof *share,
                     nqring::kShareRingBytes, nqring::kShareWriters) ||
      !nqring::TakeReader(g_ring, GetCurrentProcessId(), nqring::ThreadRuns)) {
    if (at != nullptr) UnmapViewOfFile(at);
    if (section != nullptr) CloseHandle(section);
    return false;
  }
  share->per_process = per_process ? 1 : 0;
  memcpy(share->path, trace_path, strlen(trace_path) + 1);
  memcpy(share->magic, nqring::kShareMagic, sizeof share->magic);
  g_share = share;
  g_files.Begin(share, g_ring);
  g_ring.control()->reader_beat_ns.store(nqring::MonotonicNs());
  // Without it, the reader looks at an empty ring every millisecond.
  char wake[sizeof name + sizeof nqring::kWakeSuffix];
  memcpy(wake, name, strlen(name));
  memcpy(wake + strlen(name), nqring::kWakeSuffix, sizeof nqring::kWakeSuffix);
  g_wake = CreateEventA(nullptr, FALSE, FALSE, wake);
  g_thread = CreateThread(nullptr, 0, ReadRecords, nullptr, 0, nullptr);
  if (g_thread == nullptr) {
    if (g_wake != nullptr) CloseHandle(g_wake);
    g_wake = nullptr;
    UnmapViewOfFile(at);
    CloseHandle(section);
    g_share = nullptr;
    return false;
  }
  SetEnvironmentVariableA(nqdrop::kRecordsSectionVariable, name);
  memcpy(g_section_name, name, strlen(name) + 1);
  return true;
}

const char *RecordsSectionName() { return g_section_name; }

unsigned long long StopRecordReader() {
  if (g_share == nullptr) return 0;
  g_stop.store(true, std::memory_order_release);
  if (g_wake != nullptr) SetEvent(g_wake);  // a reader waiting on an empty ring
  WaitForSingleObject(g_thread, INFINITE);
  CloseHandle(g_thread);
  nqring::CloseRing(g_ring, nqring::ThreadRuns, kCloseWaitNs);
  nqring::RingReader reader;
  reader.DrainAll(g_ring, Keep, nullptr, nqring::MonotonicNs, FlushFiles,
                  kCloseWaitNs);
  nqring::ForgetWrites(*g_share);
  return g_ring.control()->lost.load(std::memory_order_relaxed) +
         __atomic_load_n(&g_share->lost.lost, __ATOMIC_ACQUIRE) +
         g_files.lost();
}

}  // namespace nqrun
