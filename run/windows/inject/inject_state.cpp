// Settings, hooks and the socket libraries' functions of the injected DLL.
#include "inject_state.h"

#include "entries/call_views_win32.h"
#include "entries/ring_records_win32.h"

#include <string.h>

#include "attach_block.h"
#include "inject_patch.h"
#include "trace_env.h"

namespace nqinj {

State g_state;

namespace {

// The settings a thread traces with; a change goes to the other one of two
// and is then published, so that a thread reading the current one never
// sees it half written.
struct Settings {
  uint32_t flags;
  char path[nqdrop::kTracePathSize];  // with .PID for a file per process
};
Settings g_settings[2];
Settings *volatile g_current = &g_settings[0];

nqdrop::TraceEnv g_env;       // the environment's settings, read at attach
nqrun::AttachBlock *g_block;  // this process's block, mapped for its life
nqrun::AttachBlock g_own;     // the block when no section could be made
volatile LONG g_generation;   // the block's generation g_current reflects
CRITICAL_SECTION g_reload;
bool g_held;                        // a file is held: kept, never changed
DWORD g_slot = TLS_OUT_OF_INDEXES;  // the generation a thread traces at
volatile bool g_tracing;            // tracing on and a slot

const char *const kCallNames[kCalls] = {
#define NQRUN_NAME(name, ...) #name,
    NQ_TRACED_CALLS(NQRUN_NAME)
#undef NQRUN_NAME
};

// The library's hook of each traced call, built into this DLL. A switch
// rather than a table of addresses: this DLL runs no static constructors.
void *HookOf(int call) {
  switch (call) {
#define NQRUN_CASE(name, ...) \
  case kCall_##name:          \
    return Address(&::TX_##name);
    NQ_TRACED_CALLS(NQRUN_CASE)
#undef NQRUN_CASE
    default:
      return nullptr;
  }
}

const wchar_t *const kLibNames[kLibs] = {L"ws2_32.dll", L"wsock32.dll"};

// The error code the hooks fetch and hand back. Windows keeps one per
// thread for both GetLastError and WSAGetLastError, so the socket library
// need not be loaded for the bridge to work.
int NQ_CALL GetError() { return static_cast<int>(GetLastError()); }
void NQ_CALL SetError(int code) { SetLastError(static_cast<DWORD>(code)); }

void *Lookup(HMODULE module, const char *name) {
  FARPROC proc = GetProcAddress(module, name);
  void *p;
  memcpy(&p, &proc, sizeof p);
  return p;
}

// netquill-run's own entries: a Windows Sockets 1.1 call's replaces its
// hook (it reads addresses by family), the others trace calls no hook
// covers.
void TakeEntries(void **hooks) {
  // A completion's line carries the bytes of the call it completes: the
  // completions are traced while any call that can leave one pending is,
  // whether -e names them or not (only operations recorded as pending get
  // a line).
  bool pending_traced = false;
  for (int w = 0; w < kW2Calls; ++w) {
    pending_traced |=
        !kW2Completes[w] && kW2LibOf[w] != kLib_launcher &&
        kW2LibOf[w] != kLib_wsock && kW2LibOf[w] != kLib_routine &&
        nqdrop::Selected(g_env.calls2, static_cast<nqdrop::Winsock2Call>(w));
  }
  for (int w = 0; w < kW2Calls; ++w) {
    void *entry = EntryOf(w);
    if (kW2LibOf[w] != kLib_wsock) {
      // A call NETQUILL_CALLS leaves out goes without its entry; the
      // launcher's own entries trace no call and stay.
      bool selected =
          kW2LibOf[w] == kLib_launcher || (kW2Completes[w] && pending_traced) ||
          nqdrop::Selected(g_env.calls2, static_cast<nqdrop::Winsock2Call>(w));
      g_state.w2hook[w] = selected ? entry : nullptr;
      continue;
    }
    for (int c = 0; c < kCalls; ++c)
      if (strcmp(kCallNames[c], kW2Names[w]) == 0) hooks[c] = entry;
  }
}

// The system's functions of one source, for the calls of lib found there.
void LookupW2(HMODULE module, W2Lib lib, Source source) {
  for (int w = 0; w < kW2Calls; ++w)
    if (kW2LibOf[w] == lib)
      g_state.w2real[source][w] = Lookup(module, kW2Names[w]);
}

// Hands the library the error bridge and takes the hooks and entries of
// the calls asked for.
void SetUpHooks() {
  TraceErrorHooks bridge = {GetError, SetError};
  WSASetupTrace(&bridge);
  void *hooks[kCalls];
  for (int c = 0; c < kCalls; ++c) hooks[c] = HookOf(c);
  TakeEntries(hooks);
  static_assert(nqdrop::kTraced_WSAIsBlocking == kCalls - 1,
                "the traced calls come first, in one order");
  // The calls NETQUILL_CALLS leaves out go without their hook: the thunk
  // passes their result back untouched.
  for (int c = 0; c < kCalls; ++c) {
    if (!nqdrop::Selected(g_env.calls, static_cast<nqdrop::TracedCall>(c)))
      hooks[c] = nullptr;
  }
  memcpy(g_state.hook, hooks, sizeof hooks);
}

// The block of this process: the one netquill-run -p (or the parent that
// started it while attached) made, else a new one holding the settings of
// the environment, which a later attach then switches.
void TakeBlock() {
  HANDLE section;
  bool made;
  DWORD pid = GetCurrentProcessId();
  g_block = nqrun::MapBlock(pid, true, &section, &made);
  if (g_block == nullptr) g_block = &g_own;
  if (made || g_block == &g_own) {
    const nqdrop::TraceEnv &env = g_env;  // read at attach
    g_block->on = env.on;
    g_block->per_process = env.per_process;
    g_block->flags = env.flags;
    g_block->views = (env.call_times ? nqrun::kViewTimes : 0) |
                     (env.socket_labels ? nqrun::kViewLabels : 0);
    memcpy(g_block->path, env.path, sizeof env.path);
    nqrun::Publish(g_block);
  }
  g_block->loaded = 1;
}

// The attaching launcher ended while the process was in its ring (killed:
// it could not detach): its session ends as at a detach, unless another
// launcher has attached since.
void EndSession(unsigned long launcher) {
  if (g_block->session != launcher || !g_block->on) return;
  g_block->on = 0;
  nqrun::Publish(g_block);
}

// Takes the block's settings after a change. The file is held once, the
// first time tracing goes on: threads may be writing through it later.
void Reload() {
  EnterCriticalSection(&g_reload);
  LONG generation = g_block->generation;
  MemoryBarrier();
  Settings *next =
      g_current == &g_settings[0] ? &g_settings[1] : &g_settings[0];
  nqdrop::TraceEnv env = {};
  env.on = g_block->on != 0;
  env.per_process = g_block->per_process != 0;
  memcpy(env.path, g_block->path, sizeof env.path);
  env.path[sizeof env.path - 1] = '\0';
  next->flags = g_block->flags;
  nq::SetCallViews((g_block->views & nqrun::kViewTimes) != 0,
                   (g_block->views & nqrun::kViewLabels) != 0);
  bool tracing = env.on && g_slot != TLS_OUT_OF_INDEXES &&
                 nqdrop::ProcessPath(env, GetCurrentProcessId(), next->path);
  // The file is opened once and kept: each record is then one write
  // rather than an open, a write and a close.
  if (tracing && !g_held && next->path[0] != '\0')
    g_held = HoldTraceFile(next->path);
  // The attaching launcher's ring while its session lasts; at a detach,
  // nothing of it stays.
  char records[sizeof g_block->records];
  memcpy(records, g_block->records, sizeof records);
  records[sizeof records - 1] = '\0';
  if (tracing && g_block->session != 0 && records[0] != '\0')
    nq::JoinAttachersRing(records, next->path, EndSession);
  else
    nq::LeaveAttachersRing();
  g_current = next;
  g_tracing = tracing;
  MemoryBarrier();
  g_generation = generation;
  LeaveCriticalSection(&g_reload);
}

// Asked by the drop-in on each of its traced calls.
BOOL WINAPI TracesProcess() {
  DWORD saved = GetLastError();
  BOOL on = StillTracing();
  SetLastError(saved);
  return on;
}

// The drop-in WSOCK32.DLL, beside the program, traces the calls it passes
// on; under the launcher it would write each of them a second time, with
// settings of its own. Told that the launcher traces, it only passes them
// on while that lasts, and traces them itself again after a detach.
void StandDropInAside(HMODULE wsock32) {
  void *announce = Lookup(wsock32, "NetQuillStandAside");
  if (announce == nullptr) return;  // the system's library
  using Announce = void(WINAPI *)(BOOL(WINAPI *)());
  Announce fn;
  memcpy(&fn, &announce, sizeof fn);
  fn(&TracesProcess);
}

}  // namespace

bool AttachProcess(HMODULE self) {
  g_state.self = self;
  DWORD n = GetModuleFileNameW(self, g_state.self_path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  InitializeCriticalSection(&g_reload);
  g_slot = TlsAlloc();
  // The calls and the dump limit asked for (-e, -s): an attached process's
  // environment has none, and keeps every call and whole dumps.
  g_env = nqdrop::ReadTraceEnv();
  SetUpHooks();  // after the settings: it leaves out the hooks not asked for
  // Always loaded; GetQueuedCompletionStatusEx and GetOverlappedResultEx
  // may be missing (Windows XP), and their imports are then left alone.
  LookupW2(GetModuleHandleW(L"kernel32.dll"), kLib_kernel, kFromKernel);
  TakeBlock();
  Reload();
  return true;
}

bool EnterCall() {
  if (g_block->generation != g_generation) Reload();
  if (!g_tracing) return false;
  // TlsGetValue clears the last error, which may still be the program's.
  DWORD saved = GetLastError();
  LONG generation = g_generation;
  const Settings *settings = g_current;
  const char *path = settings->path[0] != '\0' ? settings->path : nullptr;
  void *seen = TlsGetValue(g_slot);
  if (seen != reinterpret_cast<void *>(static_cast<intptr_t>(generation))) {
    TlsSetValue(g_slot,
                reinterpret_cast<void *>(static_cast<intptr_t>(generation)));
    // A thread traced before a detach keeps its context: only the file and
    // flags of this attach are set, without a second start line.
    if (seen == nullptr) {
      WSAEnableTrace(path, settings->flags);
    } else {
      WSASetTraceFile(path);
      WSASetTraceFlags(settings->flags);
    }
    if (g_env.dump_max != 0) WSASetTraceDumpLimit(g_env.dump_max);
  }
  SetLastError(saved);
  return true;
}

bool StillTracing() {
  if (g_block->generation != g_generation) Reload();
  return g_tracing;
}

bool AttachedWhileRunning() { return g_block->session != 0; }

void HandOnSettings(const PROCESS_INFORMATION &child) {
  if (g_block->session == 0) return;
  HANDLE section;
  bool made;
  nqrun::AttachBlock *block =
      nqrun::MapBlock(child.dwProcessId, true, &section, &made);
  if (block == nullptr) return;
  block->on = g_block->on;
  block->session = g_block->session;
  block->per_process = g_block->per_process;
  block->flags = g_block->flags;
  block->views = g_block->views;
  memcpy(block->path, g_block->path, sizeof block->path);
  memcpy(block->records, g_block->records, sizeof block->records);
  nqrun::Publish(block);
  UnmapViewOfFile(block);
  // The child holds the section from now on, until its DLL maps it.
  HANDLE held;
  DuplicateHandle(GetCurrentProcess(), section, child.hProcess, &held, 0, FALSE,
                  DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE);
}

void FindLibs() {
  for (int l = 0; l < kLibs; ++l) {
    if (g_state.lib[l] != nullptr) continue;
    HMODULE module = GetModuleHandleW(kLibNames[l]);
    if (module == nullptr) continue;
    for (int c = 0; c < kCalls; ++c)
      g_state.real[l][c] = Lookup(module, kCallNames[c]);
    // wsock32.dll passes the Microsoft extensions on to mswsock.dll.
    if (l == kWs2)
      LookupW2(module, kLib_ws2, kFromWs2);
    else
      LookupW2(module, kLib_mswsock, kFromWs1);
    if (l == kWs1) StandDropInAside(module);
    // Published last: a thunk is handed out only for a library found whole.
    InterlockedExchangePointer(reinterpret_cast<void **>(&g_state.lib[l]),
                               module);
  }
  if (g_state.mswsock != nullptr) return;
  HMODULE mswsock = GetModuleHandleW(L"mswsock.dll");
  if (mswsock == nullptr) return;
  LookupW2(mswsock, kLib_mswsock, kFromMswsock);
  InterlockedExchangePointer(reinterpret_cast<void **>(&g_state.mswsock),
                             mswsock);
}

int FindW2Call(W2Lib lib, const char *name) {
  if (reinterpret_cast<uintptr_t>(name) <= 0xFFFF) return -1;
  for (int w = 0; w < kW2Calls; ++w)
    if (kW2LibOf[w] == lib && strcmp(name, kW2Names[w]) == 0) return w;
  return -1;
}

}  // namespace nqinj
