// The DLL path is written into the process and LoadLibraryW queued on its
// main thread, still suspended, as an APC. The thread runs it at the end
// of the loader's start-up, after the program's own DLLs were initialised
// on that thread and before the program's first instruction: the DLL
// patches the program before it runs, and the program sees its main
// thread as it would untraced (no thread of ours, nothing to wait for,
// which a debugger of the process would otherwise have to let through).
#include "remote_load.h"

#include <string.h>

namespace nqrun {
namespace {

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

bool QueueLoad(HANDLE process, HANDLE thread, const wchar_t *dll_path) {
  auto load = reinterpret_cast<PAPCFUNC>(
      reinterpret_cast<void *>(KernelFunction("LoadLibraryW")));
  if (load == nullptr) return false;
  SIZE_T bytes = (wcslen(dll_path) + 1) * sizeof(wchar_t);
  // Left in the process: the path is read when the thread runs, after
  // this returns, and is a few hundred bytes.
  void *remote = VirtualAllocEx(process, nullptr, bytes,
                                MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (remote == nullptr) return false;
  if (WriteProcessMemory(process, remote, dll_path, bytes, nullptr) &&
      QueueUserAPC(load, thread, reinterpret_cast<ULONG_PTR>(remote)))
    return true;
  VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  return false;
}

void AppendNumber(DWORD number, wchar_t *out) {
  wchar_t digits[10];
  int count = 0;
  do digits[count++] = static_cast<wchar_t>(L'0' + number % 10);
  while ((number /= 10) != 0);
  while (count > 0) *out++ = digits[--count];
  *out = L'\0';
}

void LoadEventName(DWORD process_id, wchar_t *name) {
  static const wchar_t kPrefix[] = L"Local\\NetQuillLoaded-";
  size_t n = sizeof kPrefix / sizeof kPrefix[0] - 1;
  memcpy(name, kPrefix, n * sizeof(wchar_t));
  AppendNumber(process_id, name + n);
}

}  // namespace nqrun
