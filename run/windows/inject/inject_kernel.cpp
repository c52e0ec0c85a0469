// The KERNEL32 calls the injected DLL watches: a module loaded later is
// patched as soon as it is loaded, GetProcAddress of a traced call hands
// out the traced version, and a process the program starts gets this DLL
// too. Each returns what the system's call returned, with its last error.
#include <string.h>

#include "inject_patch.h"
#include "inject_threadpool.h"
#include "remote_load.h"

namespace nqinj {
namespace {

// A successful load may leave a last error of its own (32-bit Wine leaves
// 126 from probing); patching must not change what the program then sees.
HMODULE Patched(HMODULE module) {
  if (module == nullptr) return module;
  DWORD saved = GetLastError();
  PatchAll();
  SetLastError(saved);
  return module;
}

HMODULE WINAPI NqLoadLibraryA(LPCSTR name) {
  return Patched(LoadLibraryA(name));
}

HMODULE WINAPI NqLoadLibraryW(LPCWSTR name) {
  return Patched(LoadLibraryW(name));
}

HMODULE WINAPI NqLoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags) {
  return Patched(LoadLibraryExA(name, file, flags));
}

HMODULE WINAPI NqLoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) {
  return Patched(LoadLibraryExW(name, file, flags));
}

int LibOfModule(HMODULE module) {
  FindLibs();
  for (int l = 0; l < kLibs; ++l)
    if (module == g_state.lib[l]) return l;
  if (module == g_state.mswsock) return kMswsock;
  return -1;
}

FARPROC WINAPI NqGetProcAddress(HMODULE module, LPCSTR name) {
  FARPROC proc = GetProcAddress(module, name);
  if (proc == nullptr || module == nullptr) return proc;
  DWORD saved = GetLastError();
  void *replacement = nullptr;
  int lib = LibOfModule(module);
  if (lib >= 0) {
    replacement = SocketThunkOf(lib, name, nullptr);
  } else if (reinterpret_cast<uintptr_t>(name) > 0xFFFF) {
    if (module == GetModuleHandleW(L"kernel32.dll"))
      replacement = KernelHookOf(name);
    else if (module == GetModuleHandleW(L"kernelbase.dll"))
      replacement = KernelBaseHookOf(name);
  }
  SetLastError(saved);
  if (replacement != nullptr) memcpy(&proc, &replacement, sizeof proc);
  return proc;
}

// A process started under a debugger belongs to it: its debugger sees
// every load and thread, so the child is left as the program made it.
bool Followed(DWORD flags) {
  return (flags & (DEBUG_PROCESS | DEBUG_ONLY_THIS_PROCESS)) == 0;
}

DWORD WithSuspend(DWORD flags) {
  return Followed(flags) ? flags | CREATE_SUSPENDED : flags;
}

// The child starts suspended until this DLL's load is queued on its main
// thread; one the caller asked to start suspended stays so.
BOOL Started(BOOL created, DWORD flags, PROCESS_INFORMATION *info) {
  if (!created || !Followed(flags)) return created;
  DWORD saved = GetLastError();
  if (nqrun::SameBitness(info->hProcess)) {
    HandOnSettings(*info);
    nqrun::QueueLoad(info->hProcess, info->hThread, g_state.self_path);
  }
  if ((flags & CREATE_SUSPENDED) == 0) ResumeThread(info->hThread);
  SetLastError(saved);
  return created;
}

BOOL WINAPI NqCreateProcessA(LPCSTR app, LPSTR command,
                             LPSECURITY_ATTRIBUTES process_attributes,
                             LPSECURITY_ATTRIBUTES thread_attributes,
                             BOOL inherit, DWORD flags, LPVOID environment,
                             LPCSTR directory, LPSTARTUPINFOA startup,
                             LPPROCESS_INFORMATION info) {
  BOOL created = CreateProcessA(app, command, process_attributes,
                                thread_attributes, inherit, WithSuspend(flags),
                                environment, directory, startup, info);
  return Started(created, flags, info);
}

BOOL WINAPI NqCreateProcessW(LPCWSTR app, LPWSTR command,
                             LPSECURITY_ATTRIBUTES process_attributes,
                             LPSECURITY_ATTRIBUTES thread_attributes,
                             BOOL inherit, DWORD flags, LPVOID environment,
                             LPCWSTR directory, LPSTARTUPINFOW startup,
                             LPPROCESS_INFORMATION info) {
  BOOL created = CreateProcessW(app, command, process_attributes,
                                thread_attributes, inherit, WithSuspend(flags),
                                environment, directory, startup, info);
  return Started(created, flags, info);
}

}  // namespace

void *KernelHookOf(const char *name) {
#define NQRUN_KERNEL(fn, bytes) \
  if (strcmp(name, #fn) == 0) return Address(&Nq##fn);
  NQRUN_KERNEL_CALLS(NQRUN_KERNEL)
#undef NQRUN_KERNEL
  return KernelBaseHookOf(name);
}

void *KernelBaseHookOf(const char *name) {
  void *hook = ThreadPoolHookOf(name);
  return hook != nullptr ? hook
                         : RelayOf(kFromKernel, FindW2Call(kLib_kernel, name));
}

}  // namespace nqinj
