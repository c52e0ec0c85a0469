// The DLL path is written into the process and LoadLibraryW started on it
// with a remote thread. The process's main thread is still suspended: the
// DLL patches the program before the program's first instruction.
#include "remote_load.h"

#include <string.h>

namespace nqrun {
namespace {

// A loader that never returns (a DLL waiting on the program) must not
// hold the launcher for ever.
constexpr DWORD kLoadWaitMs = 60000;

FARPROC KernelFunction(const char *name) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  return kernel != nullptr ? GetProcAddress(kernel, name) : nullptr;
}

}  // namespace

bool SameBitness(HANDLE process) {
  // Looked up: Windows XP before its second service pack lacks it, and has
  // only one bitness then.
  using IsWow64Fn = BOOL(WINAPI *)(HANDLE, BOOL *);
  auto is_wow64 = reinterpret_cast<IsWow64Fn>(
      reinterpret_cast<void *>(KernelFunction("IsWow64Process")));
  if (is_wow64 == nullptr) return true;
  BOOL self = FALSE, other = FALSE;
  if (!is_wow64(GetCurrentProcess(), &self) || !is_wow64(process, &other))
    return false;
  return self == other;
}

bool LoadInto(HANDLE process, const wchar_t *dll_path) {
  auto start = reinterpret_cast<LPTHREAD_START_ROUTINE>(
      reinterpret_cast<void *>(KernelFunction("LoadLibraryW")));
  if (start == nullptr) return false;
  SIZE_T bytes = (wcslen(dll_path) + 1) * sizeof(wchar_t);
  void *remote = VirtualAllocEx(process, nullptr, bytes,
                                MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (remote == nullptr) return false;
  bool loaded = false;
  if (WriteProcessMemory(process, remote, dll_path, bytes, nullptr)) {
    HANDLE thread =
        CreateRemoteThread(process, nullptr, 0, start, remote, 0, nullptr);
    if (thread != nullptr) {
      DWORD module = 0;  // the low half of the loaded module's handle
      if (WaitForSingleObject(thread, kLoadWaitMs) == WAIT_OBJECT_0 &&
          GetExitCodeThread(thread, &module))
        loaded = module != 0;
      CloseHandle(thread);
    }
  }
  if (loaded) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  return loaded;
}

}  // namespace nqrun
