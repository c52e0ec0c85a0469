// Loads ws2_32.dll and mswsock.dll from the system directory and
// NETQUILL.DLL from this DLL's own directory, each by its full path: a bare
// name could find this very DLL again (a copy of it beside the program, or
// a load order that prefers it) and every call would go round for ever.
#include "backend.h"

#include <string.h>

#include <atomic>

#include "trace_env.h"
#include "views.h"

namespace nqws {
namespace {

Backend g_backend;
Backend g_passed_on;  // the same functions without hooks
std::atomic<LauncherTracesFn> g_launcher;
std::atomic<int> g_loaded;
CRITICAL_SECTION g_load_lock;
HMODULE g_self;
nqdrop::TraceEnv g_env;
char g_path[nqdrop::kTracePathSize];  // with .PID for a file per process
DWORD g_thread_slot = TLS_OUT_OF_INDEXES;
bool g_tracing;           // tracing wanted and NETQUILL.DLL found
char g_env_value[32768];  // the longest value the environment holds

// The environment as KERNEL32 keeps it: this DLL has no C run time of its
// own to copy it at start-up. Each value is used before the next is read.
char *EnvironmentValue(const char *name) {
  DWORD n = GetEnvironmentVariableA(name, g_env_value, sizeof g_env_value);
  return n > 0 && n < sizeof g_env_value ? g_env_value : nullptr;
}

template <typename Fn>
void Resolve(HMODULE module, const char *name, Fn *out) {
  FARPROC proc = module != nullptr ? GetProcAddress(module, name) : nullptr;
  static_assert(sizeof proc == sizeof *out, "function pointer sizes");
  memcpy(out, &proc, sizeof proc);
}

// The length of the directory part of path, its last separator included.
size_t DirectoryOf(const wchar_t *path, size_t length) {
  while (length > 0 && path[length - 1] != L'\\' && path[length - 1] != L'/')
    --length;
  return length;
}

HMODULE LoadFrom(const wchar_t *dir, size_t dir_length, const wchar_t *name) {
  wchar_t path[MAX_PATH + 32];
  size_t name_length = wcslen(name);
  if (dir_length == 0 || dir_length + name_length + 2 > MAX_PATH + 32)
    return nullptr;
  memcpy(path, dir, dir_length * sizeof(wchar_t));
  if (path[dir_length - 1] != L'\\' && path[dir_length - 1] != L'/')
    path[dir_length++] = L'\\';
  memcpy(path + dir_length, name, (name_length + 1) * sizeof(wchar_t));
  return LoadLibraryW(path);
}

void LoadSystem() {
  wchar_t dir[MAX_PATH];
  UINT n = GetSystemDirectoryW(dir, MAX_PATH);
  if (n >= MAX_PATH) n = 0;
  HMODULE ws2 = LoadFrom(dir, n, L"ws2_32.dll");
  if (ws2 == nullptr)
    FatalAppExitA(0, "WSOCK32.DLL: ws2_32.dll cannot be loaded");
#define NQ_WS_RESOLVE(name, ...) Resolve(ws2, #name, &g_backend.ws2.name);
  NQ_WS_TRACED(NQ_WS_RESOLVE)
  NQ_WS_PLAIN(NQ_WS_RESOLVE)
#undef NQ_WS_RESOLVE
  HMODULE mswsock = LoadFrom(dir, n, L"mswsock.dll");
#define NQ_WS_RESOLVE(name, ...) Resolve(mswsock, #name, &g_backend.ext.name);
  NQ_WS_EXTENSIONS(NQ_WS_RESOLVE)
#undef NQ_WS_RESOLVE
}

void LoadHooks() {
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(g_self, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  HMODULE nq = LoadFrom(self, DirectoryOf(self, n), L"NETQUILL.DLL");
  if (nq == nullptr) return;
  Hooks hooks;
#define NQ_WS_RESOLVE(name, ...) Resolve(nq, "TX_" #name, &hooks.name);
  NQ_WS_TRACED(NQ_WS_RESOLVE)
#undef NQ_WS_RESOLVE
  Resolve(nq, "WSAEnableTrace", &hooks.enable);
  Resolve(nq, "WSASetTraceDumpLimit", &hooks.dump_limit);
  decltype(&::WSASetupTrace) setup;
  Resolve(nq, "WSASetupTrace", &setup);
  SetLineViewsFn set_line_views;  // null in a library without it
  Resolve(nq, "NetQuillSetLineViews", &set_line_views);
  // A library without every hook is not the one this DLL was built for:
  // no call is traced rather than some.
  bool complete = hooks.enable != nullptr && setup != nullptr;
#define NQ_WS_PRESENT(name, ...) complete = complete && hooks.name != nullptr;
  NQ_WS_TRACED(NQ_WS_PRESENT)
#undef NQ_WS_PRESENT
  if (!complete) return;
  // The error code the hooks fetch and hand back is the socket library's
  // own, the one the program reads with WSAGetLastError.
  TraceErrorHooks bridge = {g_backend.ws2.WSAGetLastError,
                            g_backend.ws2.WSASetLastError};
  setup(&bridge);
  // The calls NETQUILL_CALLS leaves out go without their hook, as if
  // NETQUILL.DLL had none: they cost nothing more than untraced ones.
#define NQ_WS_SELECT(name, ...)                               \
  if (!nqdrop::Selected(g_env.calls, nqdrop::kTraced_##name)) \
    hooks.name = nullptr;
  NQ_WS_TRACED(NQ_WS_SELECT)
#undef NQ_WS_SELECT
  g_backend.hooks = hooks;
  g_tracing = g_env.on && g_thread_slot != TLS_OUT_OF_INDEXES &&
              nqdrop::ProcessPath(g_env, GetCurrentProcessId(), g_path);
  // Before any hook runs: the views apply from the first line.
  if (g_tracing) InstallViews(set_line_views, g_env.socket_labels);
}

void LoadOnce() {
  DWORD saved = GetLastError();
  EnterCriticalSection(&g_load_lock);
  if (g_loaded.load(std::memory_order_relaxed) == 0) {
    LoadSystem();
    LoadHooks();
    g_passed_on.ws2 = g_backend.ws2;
    g_passed_on.ext = g_backend.ext;
    g_loaded.store(1, std::memory_order_release);
  }
  LeaveCriticalSection(&g_load_lock);
  SetLastError(saved);
}

void EnableThread() {
  // TlsGetValue clears the thread's last error, which may still be the
  // program's own: it is kept across the check and the enable.
  DWORD saved = GetLastError();
  if (TlsGetValue(g_thread_slot) == nullptr) {
    TlsSetValue(g_thread_slot, reinterpret_cast<void *>(1));
    g_backend.hooks.enable(g_path[0] != '\0' ? g_path : nullptr, g_env.flags);
    if (g_env.dump_max != 0 && g_backend.hooks.dump_limit != nullptr)
      g_backend.hooks.dump_limit(g_env.dump_max);
  }
  SetLastError(saved);
}

}  // namespace

void AttachProcess(HMODULE self) {
  // An unset variable leaves its own code, which is no concern of a
  // program that loads this DLL.
  DWORD saved = GetLastError();
  g_self = self;
  InitializeCriticalSection(&g_load_lock);
  g_thread_slot = TlsAlloc();
  g_env = nqdrop::ReadTraceEnv(EnvironmentValue);
  PrepareViews(g_env.on && g_env.call_times);
  SetLastError(saved);
}

void DetachProcess() {
  // Only a dynamic unload gets here; the libraries it loaded stay, as a
  // thread of the program may still be inside one of them.
  if (g_thread_slot != TLS_OUT_OF_INDEXES) TlsFree(g_thread_slot);
  g_thread_slot = TLS_OUT_OF_INDEXES;
  ReleaseViews();
  DeleteCriticalSection(&g_load_lock);
}

const Backend &Loaded() {
  if (g_loaded.load(std::memory_order_acquire) == 0) LoadOnce();
  return g_backend;
}

const Backend &Traced() {
  if (g_loaded.load(std::memory_order_acquire) == 0) LoadOnce();
  // The launcher has its call traced already, or will once it returns:
  // a second line here would count every call and its bytes twice. Nor is
  // the thread's trace started, which would add a banner to its file.
  LauncherTracesFn launcher = g_launcher.load(std::memory_order_acquire);
  if (launcher != nullptr && launcher()) return g_passed_on;
  if (g_tracing) EnableThread();
  return g_backend;
}

}  // namespace nqws

// netquill-run.exe's injected DLL, which finds this DLL by this export,
// announces itself here as it patches the program's imports.
extern "C" void WINAPI
Wsock32_NetQuillStandAside(nqws::LauncherTracesFn launcher_traces) {
  nqws::g_launcher.store(launcher_traces, std::memory_order_release);
}
