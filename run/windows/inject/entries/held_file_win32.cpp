// The held trace file on Windows. The handle is protected from being
// closed, so that a program that closes every handle it finds cannot free
// its value for another file of its own: the system refuses that close.
// Where the protection is not granted, the file's identity (volume and
// file index) is read at hold and again before each record instead, so
// that a value that came back for another file is never written to. The
// protection spares that query, the dearest part of a record under Wine.
#include "entries/held_file_win32.h"

#include <windows.h>

#include <string.h>
#include <atomic>

#include "entries/file_writers_win32.h"
#include "entries/ring_records_win32.h"
#include "platform/os.h"
#include "platform/win32/append_guard_win32.h"

namespace nq {
namespace {

struct Held {
  char path[MAX_PATH + 16];
  HANDLE file;
  DWORD volume, index_high, index_low;
  bool protected_from_close;
  FileWriters *writers;  // null: every append takes the guard
};

Held g_held;

bool SameFile(HANDLE file, const Held &held) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(file, &info) &&
         info.dwVolumeSerialNumber == held.volume &&
         info.nFileIndexHigh == held.index_high &&
         info.nFileIndexLow == held.index_low;
}

bool ProtectFromClose(HANDLE file) {
  DWORD flags = 0;
  return SetHandleInformation(file, HANDLE_FLAG_PROTECT_FROM_CLOSE,
                              HANDLE_FLAG_PROTECT_FROM_CLOSE) &&
         GetHandleInformation(file, &flags) &&
         (flags & HANDLE_FLAG_PROTECT_FROM_CLOSE) != 0;
}

std::atomic<bool> g_holding{false};

int HeldAppend(const char *path, const void *data, size_t size) {
  if (PutInRing(path, data, size)) return 1;
  int result;
  if (!AppendHeld(path, data, size, &result))
    result = NativeOsServices().append(path, data, size);
  if (result != 1) NoteLostRecord();
  return result;
}

}  // namespace

bool HoldFile(const char *path) {
  DWORD saved = GetLastError();
  bool held = false;
  size_t length = path != nullptr ? strlen(path) : 0;
  if (length != 0 && length < sizeof g_held.path) {
    HANDLE file =
        CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    if (file != INVALID_HANDLE_VALUE && GetFileType(file) == FILE_TYPE_DISK &&
        GetFileInformationByHandle(file, &info)) {
      // An earlier hold's handle stays open: a thread may be writing
      // through it still.
      g_holding.store(false, std::memory_order_release);
      memcpy(g_held.path, path, length + 1);
      g_held.file = file;
      g_held.volume = info.dwVolumeSerialNumber;
      g_held.index_high = info.nFileIndexHigh;
      g_held.index_low = info.nFileIndexLow;
      g_held.protected_from_close = ProtectFromClose(file);
      g_held.writers = JoinFileWriters(info.dwVolumeSerialNumber,
                                       info.nFileIndexHigh, info.nFileIndexLow);
      // With the ring the launcher appends to the file too, uncounted:
      // this process is never its only writer.
      if (ShareRecordsFromEnvironment(path)) g_held.writers = nullptr;
      g_holding.store(true, std::memory_order_release);
      g_os.append = HeldAppend;
      held = true;
    } else if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
    }
  }
  SetLastError(saved);
  return held;
}

namespace {
std::atomic<bool> g_library_loaded{false};  // NETQUILL.DLL is in the process
}  // namespace

void NoteLoadedModules() {
  // Asked here, where modules load, never inside a record: the question
  // takes the loader's lock, which a thread starting or ending may hold
  // while it waits for the library.
  if (GetModuleHandleW(L"NETQUILL.DLL") != nullptr)
    g_library_loaded.store(true, std::memory_order_release);
}

bool AppendHeld(const char *path, const void *data, size_t size, int *result) {
  if (!g_holding.load(std::memory_order_acquire) ||
      strcmp(path, g_held.path) != 0)
    return false;
  DWORD saved = GetLastError();
  if (!g_held.protected_from_close && !SameFile(g_held.file, g_held)) {
    g_holding.store(false, std::memory_order_release);
    SetLastError(saved);
    return false;
  }
  OVERLAPPED guard;
  // NETQUILL.DLL in the process (a program that traces itself through the
  // library) appends to the file too, uncounted among its writers: then
  // this process is never the file's only writer.
  volatile LONG *alone = !g_library_loaded.load(std::memory_order_acquire)
                             ? EnterSoleWriter(g_held.writers)
                             : nullptr;
  bool guarded = alone == nullptr && TakeAppendGuard(g_held.file, &guard);
  DWORD written = 0;
  BOOL ok =
      size <= 0xFFFFFFFFu &&
      WriteFile(g_held.file, data, static_cast<DWORD>(size), &written, nullptr);
  ok = ok && written == size;
  if (guarded) UnlockFileEx(g_held.file, 0, 1, 0, &guard);
  if (alone != nullptr) LeaveSoleWriter(alone);
  SetLastError(saved);
  *result = ok ? 1 : written != 0 && written < size ? -1 : 0;
  return true;
}

}  // namespace nq
