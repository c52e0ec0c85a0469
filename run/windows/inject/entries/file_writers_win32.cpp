// The writers of a trace file, counted across processes. Each process that
// holds the file adds one to the count in a section named after the file's
// volume and index; the section lives as long as one of them does. A
// writer alone appends with only its own threads in turn. The hand-over to
// the guard is a handshake on two counts: a lone writer first announces
// its append and only then reads the count of writers; a joining process
// first adds itself and only then waits for the announced appends to end.
// Each side's add is a full barrier, so at least one of them sees the
// other: no append without the guard overlaps one with it.
#include "entries/file_writers_win32.h"

#include <string.h>

namespace nq {

namespace {

struct SharedCounts {
  volatile LONG writers;    // processes holding the file
  volatile LONG unguarded;  // appends under way without the guard
};

// An append is one write: a joining process waits this many yields for
// the lone appends to end, and no longer, as a writer killed in the middle
// of one would otherwise hold it forever.
constexpr int kDrainYields = 100000;

char *AppendHex(char *out, DWORD value) {
  for (int shift = 28; shift >= 0; shift -= 4)
    *out++ = "0123456789abcdef"[(value >> shift) & 0xF];
  return out;
}

LONG Read(volatile LONG *count) {
  return InterlockedCompareExchange(count, 0, 0);
}

}  // namespace

struct FileWriters {
  SharedCounts *counts;
  DWORD volume, index_high, index_low;
};

namespace {
FileWriters g_writers;
CRITICAL_SECTION g_lone_appends;  // this process's, in turn
}  // namespace

FileWriters *JoinFileWriters(DWORD volume, DWORD index_high, DWORD index_low) {
  FileWriters *w = &g_writers;
  if (w->counts != nullptr && w->volume == volume &&
      w->index_high == index_high && w->index_low == index_low)
    return w;
  static const char kPrefix[] = "Local\\NetQuillWriters-";
  char name[sizeof kPrefix + 3 * 8];
  memcpy(name, kPrefix, sizeof kPrefix - 1);
  char *end = AppendHex(name + sizeof kPrefix - 1, volume);
  end = AppendHex(AppendHex(end, index_high), index_low);
  *end = '\0';
  // The section's handle stays open for the life of the process: it keeps
  // the count there for the other writers.
  HANDLE section =
      CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                         sizeof(SharedCounts), name);
  if (section == nullptr) return nullptr;
  auto *counts = static_cast<SharedCounts *>(
      MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, sizeof(SharedCounts)));
  if (counts == nullptr) {
    CloseHandle(section);
    return nullptr;
  }
  InterlockedIncrement(&counts->writers);
  for (int i = 0; i < kDrainYields && Read(&counts->unguarded) != 0; ++i)
    SwitchToThread();
  if (w->counts == nullptr) InitializeCriticalSection(&g_lone_appends);
  w->volume = volume;
  w->index_high = index_high;
  w->index_low = index_low;
  w->counts = counts;  // an earlier file's count stays taken, for good
  return w;
}

volatile LONG *EnterSoleWriter(FileWriters *w) {
  if (w == nullptr) return nullptr;
  SharedCounts *counts = w->counts;
  InterlockedIncrement(&counts->unguarded);
  if (Read(&counts->writers) == 1) {
    EnterCriticalSection(&g_lone_appends);
    return &counts->unguarded;
  }
  InterlockedDecrement(&counts->unguarded);
  return nullptr;
}

void LeaveSoleWriter(volatile LONG *unguarded) {
  LeaveCriticalSection(&g_lone_appends);
  InterlockedDecrement(unguarded);
}

}  // namespace nq
