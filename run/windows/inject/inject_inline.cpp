// The entry points of ws2_32.dll's traced functions, patched in place when
// netquill-run -p attaches to a running program: a loop that fetched a
// function's address before the attach (an optimising compiler keeps it in
// a register) calls it without reading the import table again. Each
// function's first instructions are copied into a trampoline, which runs
// them and jumps back past them; the entry gets a jump to the launcher's
// entry for the function, which sends a call from the system's own modules
// on to the trampoline, untraced as before, and the program's to the
// traced call. The relays call the system's function through the
// trampoline from then on. The jumps are written with the program's other
// threads suspended (at most 1,024 of them: a program of more is left as
// it is), none of them inside the bytes replaced.
#include "inject_inline.h"

#include <string.h>
#include <tlhelp32.h>

#include "inject_patch.h"
#include "inline_decode.h"

namespace nqinj {
namespace {

constexpr bool kWide = sizeof(void *) == 8;
constexpr size_t kJump = 5;      // E9 and a 32-bit displacement
constexpr size_t kFarJump = 14;  // FF 25 00000000 and the address: x64
constexpr size_t kPiece = 64;    // a trampoline and a far jump, each function
constexpr size_t kMostPatches = kCalls + kW2Calls;
constexpr size_t kBlock = kMostPatches * kPiece;
constexpr int kMostThreads = 1024;

struct Patch {
  uint8_t *entry;
  void *to;  // the launcher's entry for the function
  uint8_t *trampoline;
  Prologue prologue;
  bool busy;  // a thread is inside the bytes replaced
};

Patch g_patches[kMostPatches];
size_t g_count;
HANDLE g_threads[kMostThreads];
int g_stopped;

uint8_t *PutJump(uint8_t *at, const void *to) {
  at[0] = 0xE9;
  int32_t displacement = static_cast<int32_t>(
      reinterpret_cast<intptr_t>(to) - reinterpret_cast<intptr_t>(at + 5));
  memcpy(at + 1, &displacement, 4);
  return at + 5;
}

uint8_t *PutFarJump(uint8_t *at, const void *to) {
  static const uint8_t kIndirect[6] = {0xFF, 0x25, 0, 0, 0, 0};
  memcpy(at, kIndirect, 6);
  memcpy(at + 6, &to, 8);
  return at + kFarJump;
}

bool Reaches(const void *from, const void *to) {
  intptr_t d =
      reinterpret_cast<intptr_t>(to) - reinterpret_cast<intptr_t>(from);
  return d == static_cast<int32_t>(d);
}

// Executable memory for every trampoline within a 32-bit jump of module
// (the nearest free region below it, then above it), or anywhere in 32-bit
// code.
uint8_t *BlockNear(HMODULE module) {
  if (!kWide)
    return static_cast<uint8_t *>(VirtualAlloc(
        nullptr, kBlock, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
  const uintptr_t kGranule = 0x10000, kReach = 0x70000000;
  uintptr_t base = reinterpret_cast<uintptr_t>(module);
  for (int side = 0; side < 2; ++side) {
    for (uintptr_t step = kGranule; step < kReach; step += kGranule) {
      uintptr_t at = side == 0 ? base - step : base + step;
      if (side == 0 && step > base) break;
      MEMORY_BASIC_INFORMATION info;
      if (VirtualQuery(reinterpret_cast<void *>(at), &info, sizeof info) !=
              sizeof info ||
          info.State != MEM_FREE ||
          reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize <
              at + kBlock)
        continue;
      void *block =
          VirtualAlloc(reinterpret_cast<void *>(at), kBlock,
                       MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
      if (block != nullptr) return static_cast<uint8_t *>(block);
    }
  }
  return nullptr;
}

// Builds the trampoline of p at piece: the instructions replaced, their
// displacements rebased, a jump back past them; and, in 64-bit code, the
// far jump to the launcher's entry that the entry's jump reaches. False
// when a displacement does not reach from there.
bool Build(Patch *p, uint8_t *piece) {
  const Prologue &pro = p->prologue;
  memcpy(piece, p->entry, pro.length);
  for (size_t i = 0; i < pro.count; ++i) {
    int32_t old;
    memcpy(&old, p->entry + pro.at[i], 4);
    const uint8_t *target = p->entry + pro.end[i] + old;
    if (!Reaches(piece + pro.end[i], target)) return false;
    int32_t now = static_cast<int32_t>(target - (piece + pro.end[i]));
    memcpy(piece + pro.at[i], &now, 4);
  }
  uint8_t *end = piece + pro.length;
  if (kWide) {
    end = PutFarJump(end, p->entry + pro.length);
    PutFarJump(end, p->to);
    p->to = end;  // the entry's jump reaches the far jump
  } else {
    PutJump(end, p->entry + pro.length);
  }
  p->trampoline = piece;
  return true;
}

void Add(HMODULE module, void *entry, void *to) {
  MEMORY_BASIC_INFORMATION info;
  if (entry == nullptr || to == nullptr || g_count == kMostPatches ||
      VirtualQuery(entry, &info, sizeof info) != sizeof info ||
      info.AllocationBase != module)
    return;  // not traced, or forwarded to another module
  for (size_t i = 0; i < g_count; ++i)
    if (g_patches[i].entry == entry) return;
  Patch &p = g_patches[g_count];
  p.entry = static_cast<uint8_t *>(entry);
  p.to = to;
  if (ReadPrologue(p.entry, kJump, kWide, &p.prologue)) ++g_count;
}

// Every pointer to the system's function at entry, for the relays to call,
// now its trampoline.
void CallThrough(const Patch &p) {
  void *entry = p.entry, *trampoline = p.trampoline;
  for (int l = 0; l < kLibs; ++l)
    for (int c = 0; c < kCalls; ++c)
      if (g_state.real[l][c] == entry)
        InterlockedExchangePointer(&g_state.real[l][c], trampoline);
  for (int s = 0; s < kSources; ++s)
    for (int w = 0; w < kW2Calls; ++w)
      if (g_state.w2real[s][w] == entry)
        InterlockedExchangePointer(&g_state.w2real[s][w], trampoline);
}

void Resume() {
  for (int i = 0; i < g_stopped; ++i) {
    ResumeThread(g_threads[i]);
    CloseHandle(g_threads[i]);
  }
  g_stopped = 0;
}

// Suspends the process's other threads and marks the patches a thread is
// inside; false when they could not all be suspended (none then is).
bool Stop() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  DWORD pid = GetCurrentProcessId(), self = GetCurrentThreadId();
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  bool all = true;
  for (BOOL more = Thread32First(snapshot, &entry); more && all;
       more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != pid || entry.th32ThreadID == self) continue;
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT,
                               FALSE, entry.th32ThreadID);
    if (thread == nullptr) continue;  // ended since
    if (g_stopped == kMostThreads ||
        SuspendThread(thread) == static_cast<DWORD>(-1)) {
      CloseHandle(thread);
      all = false;
      break;
    }
    g_threads[g_stopped++] = thread;
    CONTEXT context;
    context.ContextFlags = CONTEXT_CONTROL;
    if (!GetThreadContext(thread, &context)) {
      all = false;
      break;
    }
#ifdef _WIN64
    uintptr_t ip = context.Rip;
#else
    uintptr_t ip = context.Eip;
#endif
    for (size_t i = 0; i < g_count; ++i) {
      uintptr_t from = reinterpret_cast<uintptr_t>(g_patches[i].entry);
      if (ip > from && ip < from + g_patches[i].prologue.length)
        g_patches[i].busy = true;
    }
  }
  CloseHandle(snapshot);
  if (!all) Resume();
  return all;
}

void WriteJump(const Patch &p) {
  DWORD old;
  if (!VirtualProtect(p.entry, kJump, PAGE_EXECUTE_READWRITE, &old)) return;
  PutJump(p.entry, p.to);
  VirtualProtect(p.entry, kJump, old, &old);
  FlushInstructionCache(GetCurrentProcess(), p.entry, kJump);
}

}  // namespace

void PatchEntryPoints() {
  HMODULE ws2 = g_state.lib[kWs2];
  if (ws2 == nullptr || g_count != 0) return;
  for (int c = 0; c < kCalls; ++c)
    if (g_state.hook[c] != nullptr)
      Add(ws2, g_state.real[kWs2][c], InlineThunkOf(c));
  for (int w = 0; w < kW2Calls; ++w)
    Add(ws2, g_state.w2real[kFromWs2][w], InlineRelayOf(w));
  uint8_t *block = g_count != 0 ? BlockNear(ws2) : nullptr;
  if (block == nullptr) return;
  size_t built = 0;
  for (size_t i = 0; i < g_count; ++i)
    if (Build(&g_patches[i], block + i * kPiece))
      g_patches[built++] = g_patches[i];
  g_count = built;
  DWORD old;
  VirtualProtect(block, kBlock, PAGE_EXECUTE_READ, &old);
  FlushInstructionCache(GetCurrentProcess(), block, kBlock);
  for (size_t i = 0; i < g_count; ++i) CallThrough(g_patches[i]);
  // A thread a few bytes into a function is let go on, and the patch
  // tried again; after 50 tries that function is left as it is.
  for (int tries = 0; tries < 50; Sleep(1), ++tries) {
    if (!Stop()) continue;
    bool left = false;
    for (size_t i = 0; i < g_count; ++i) {
      Patch &p = g_patches[i];
      if (p.busy || p.to == nullptr) {
        left |= p.busy;
        p.busy = false;
        continue;
      }
      WriteJump(p);
      p.to = nullptr;  // written
    }
    Resume();
    if (!left) return;
  }
}

}  // namespace nqinj
