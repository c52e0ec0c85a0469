// The ring of records' questions to Windows (ring_os.h).
#include <windows.h>

#include "ring_os.h"

namespace nqring {
namespace {

// Vista's; looked up, as the DLL and the launcher import nothing newer
// than XP's. Null on XP, where a thread's process is not asked.
using ProcessOfThread = DWORD(WINAPI *)(HANDLE thread);
using Tick64 = ULONGLONG(WINAPI *)();

template <typename Fn>
Fn Kernel32Function(const char *name) {
  FARPROC proc = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name);
  Fn fn;
  static_assert(sizeof fn == sizeof proc, "a function pointer");
  CopyMemory(&fn, &proc, sizeof fn);
  return fn;
}

// Whether the object behind handle is still unsignalled: a thread or a
// process that has not ended. A handle refused for want of rights belongs
// to something that runs.
bool Runs(HANDLE handle) {
  if (handle == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  const bool runs = WaitForSingleObject(handle, 0) == WAIT_TIMEOUT;
  CloseHandle(handle);
  return runs;
}

Tick64 volatile g_tick64;  // GetTickCount64, once looked up
LONG volatile g_tick64_asked;

}  // namespace

bool ThreadRuns(std::uint32_t pid, std::uint32_t tid) {
  const DWORD saved = GetLastError();
  bool runs;
  if (tid == pid) {
    runs = Runs(OpenProcess(SYNCHRONIZE, FALSE, pid));
  } else {
    HANDLE thread =
        OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, tid);
    // A thread id comes back for another process's thread once the
    // writer's is gone.
    const ProcessOfThread owner =
        thread != nullptr
            ? Kernel32Function<ProcessOfThread>("GetProcessIdOfThread")
            : nullptr;
    if (owner != nullptr && owner(thread) != pid) {
      CloseHandle(thread);
      runs = false;
    } else {
      runs = Runs(thread);
    }
  }
  SetLastError(saved);
  return runs;
}

std::int64_t MonotonicNs() {
  if (InterlockedCompareExchange(&g_tick64_asked, 1, 0) == 0)
    g_tick64 = Kernel32Function<Tick64>("GetTickCount64");
  const Tick64 tick64 = g_tick64;
  const ULONGLONG ms = tick64 != nullptr ? tick64() : GetTickCount();
  return static_cast<std::int64_t>(ms) * 1000000;
}

std::uint32_t OwnProcessId() { return GetCurrentProcessId(); }

std::uint32_t OwnThreadId() { return GetCurrentThreadId(); }

void PauseBriefly() { Sleep(1); }

}  // namespace nqring
