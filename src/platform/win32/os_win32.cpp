// Win32 implementation of the system services.
#include <string.h>
#include <windows.h>

#include "platform/os.h"
#include "platform/win32/append_guard_win32.h"
#include "platform/win32/teb_win32.h"

namespace nq {

const char kPathSeparator = '\\';

// One byte far past any real end of file: the writers of a file take it in
// turn around each append. It guards no data, so readers, and programs
// that write the file without it, are never held up.
constexpr DWORD kAppendGuardHigh = 0x7FFFFFFF;
constexpr DWORD kAppendGuardLow = 0xFFFFFFF0;
constexpr int kGuardSpins = 64;  // quick tries before waiting in the kernel

// Takes the guard byte of file for one append. Windows itself appends
// atomically and may refuse the lock on a handle that has neither read nor
// write access: then false, and the write goes ahead alone. Wine emulates
// an append with a size query and a write at that size, and another writer
// can come between the two and be overwritten; there the guard makes every
// thread's and process's appends take turns. A held guard is first retried
// after a yield, as a wait in Wine's kernel costs far more than an append.
// Closing the handle gives the guard back: the system releases a handle's
// byte-range locks when it is closed (a writer waiting for the guard waits
// as long as that takes), and under Wine, where each file call is a round
// trip to its server, an explicit unlock would cost a tenth of the record.
bool TakeAppendGuard(HANDLE file, OVERLAPPED *guard) {
  ZeroMemory(guard, sizeof *guard);
  guard->Offset = kAppendGuardLow;
  guard->OffsetHigh = kAppendGuardHigh;
  for (int tries = 0;; ++tries) {
    DWORD how = LOCKFILE_EXCLUSIVE_LOCK;
    if (tries < kGuardSpins) how |= LOCKFILE_FAIL_IMMEDIATELY;
    if (LockFileEx(file, how, 0, 1, 0, guard)) return true;
    if (GetLastError() != ERROR_LOCK_VIOLATION) return false;
    SwitchToThread();
  }
}

namespace {

CRITICAL_SECTION g_lock;  // recursive for its owner by nature

uint32_t NativeThreadId() { return TebThreadId(); }

uint32_t NativeTickMs() { return GetTickCount(); }

// The system keeps its own time-zone setting current, so there is nothing
// to refresh; GetLocalTime neither fails nor touches the last error.
void NativeLocalTime(LocalTime *out, int) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  out->year = now.wYear;
  out->month = now.wMonth;
  out->day = now.wDay;
  out->hour = now.wHour;
  out->minute = now.wMinute;
  out->second = now.wSecond;
}

uintptr_t NativeMainModule() {
  return reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr));
}

size_t NativeModuleFileName(uintptr_t module, char *buf, size_t size) {
  if (size == 0) return 0;
  DWORD saved = GetLastError();
  DWORD n = GetModuleFileNameA(reinterpret_cast<HMODULE>(module), buf,
                               static_cast<DWORD>(size));
  SetLastError(saved);
  // A name that does not fit comes back cut and, on older systems, without
  // its terminator; either way it is no longer the module's name.
  if (n == 0 || n >= size) {
    buf[0] = '\0';
    return 0;
  }
  buf[n] = '\0';
  return n;
}

size_t NativeTempDir(char *buf, size_t size) {
  if (size == 0) return 0;
  DWORD saved = GetLastError();
  DWORD n = GetTempPathA(static_cast<DWORD>(size), buf);
  SetLastError(saved);
  if (n == 0 || n >= size) {
    buf[0] = '\0';
    return 0;
  }
  return n;
}

int NativeAppend(const char *path, const void *data, size_t size) {
  DWORD saved = GetLastError();
  // FILE_APPEND_DATA without FILE_WRITE_DATA makes every write go to the end
  // of the file as it stands at that moment, also for other processes.
  HANDLE file =
      CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    SetLastError(saved);
    return 0;
  }
  // Only a disk file or a character device (the console, NUL) takes
  // records: a named pipe given as the path could take part of one, or
  // hold the writer up. Byte-range locks exist on disk files only, so a
  // guard taken is the answer already; only without it is the type asked,
  // which under Wine is one more round trip to its server.
  OVERLAPPED guard;
  if (!TakeAppendGuard(file, &guard)) {  // a guard taken goes with the close
    DWORD type = GetFileType(file);
    if (type != FILE_TYPE_DISK && type != FILE_TYPE_CHAR) {
      CloseHandle(file);
      SetLastError(saved);
      return 0;
    }
  }
  DWORD written = 0;
  BOOL ok = size <= 0xFFFFFFFFu &&
            WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr);
  ok = ok && written == size;
  if (!CloseHandle(file)) ok = FALSE;
  SetLastError(saved);
  if (ok) return 1;
  return written != 0 && written < size ? -1 : 0;  // cut short: a full disk
}

// The process heap: no C run-time heap is needed for the few blocks the
// library holds. HeapFree of null is refused, so it is not asked.
void *NativeAlloc(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); }

void NativeRelease(void *block) {
  if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

// The default file lies in the user's own temporary directory, which other
// users cannot plant entries in, so it is opened like any other.
const OsServices kNative = {
    NativeThreadId,       NativeTickMs,  NativeLocalTime, NativeMainModule,
    NativeModuleFileName, NativeTempDir, NativeAppend,    NativeAppend,
    NativeAlloc,          NativeRelease,
};

}  // namespace

OsServices g_os = kNative;

const OsServices &NativeOsServices() { return kNative; }

void *LoadedModuleFunction(const char *module, const char *name) {
  HMODULE handle = GetModuleHandleA(module);
  if (handle == nullptr) return nullptr;
  return reinterpret_cast<void *>(GetProcAddress(handle, name));
}

// Windows sets no limit on the size of a file a process writes.
void ReadFileSizeLimit() {}

void LockCreate() { InitializeCriticalSection(&g_lock); }

void LockDelete() { DeleteCriticalSection(&g_lock); }

void LockEnter() { EnterCriticalSection(&g_lock); }

void LockLeave() { LeaveCriticalSection(&g_lock); }

}  // namespace nq
