// The thread pool's completions. Thread-pool I/O (CreateThreadpoolIo): the
// pool calls a callback when an
// overlapped call on the handle completes. It gets the launcher's, which
// writes the completion (NQW_IoCompletionCallback) and then calls the
// program's with the same arguments; the program's own context goes to the
// pool untouched, so that whatever else sees it (a cleanup group's cancel
// callback) sees the program's. The program's callback is found by the
// TP_IO in a fixed table, no lock and no heap: a slot is taken with one
// compare-and-swap on its TP_IO field and given back by clearing it. It
// lives as long as the pool may call back: one use from the TP_IO's
// creation until it is closed, and one for each I/O started
// (StartThreadpoolIo) until its callback has returned or the program
// cancelled it (CancelThreadpoolIo). A function bound to a handle
// (BindIoCompletionCallback) is called for each of its completions as
// long as the handle lives, with no word when it ends; a program binds few
// of them, whatever its handles, so each one gets a relay of its own for
// good, which writes the completion as a completion routine's.
#include "inject_threadpool.h"

#include <utility>

#include "entries/netquill_winsock2.h"
#include "inject_patch.h"

namespace nqinj {
namespace {

constexpr unsigned kSlots = 1024;  // TP_IOs traced at once
constexpr unsigned kReach = 8;     // the slots from its home a TP_IO may take

struct Slot {
  void *volatile io;               // the TP_IO, or null if free
  PTP_WIN32_IO_CALLBACK callback;  // the program's
  volatile LONG uses;              // the TP_IO's own, and its I/O's
};

Slot g_slots[kSlots];

// The system's functions, looked up on the first patch: a program that
// imports them runs on a system that has them.
struct Real {
  decltype(&::CreateThreadpoolIo) create;
  decltype(&::StartThreadpoolIo) start;
  decltype(&::CancelThreadpoolIo) cancel;
  decltype(&::CloseThreadpoolIo) close;
  decltype(&::BindIoCompletionCallback) bind;
  bool looked_up;
};
Real g_real;

// The functions bound, each for good to the relay of its index; beyond
// them a function goes to the pool as it is, untraced.
constexpr int kBound = 8;
LPOVERLAPPED_COMPLETION_ROUTINE volatile g_bound[kBound];

unsigned HomeOf(PTP_IO io) {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(io) >> 4) % kSlots;
}

Slot *Find(PTP_IO io) {
  for (unsigned i = 0, at = HomeOf(io); i < kReach; ++i, at = (at + 1) % kSlots)
    if (g_slots[at].io == io) return &g_slots[at];
  return nullptr;
}

// A slot for io, newly made: the one it had, if the pool freed a TP_IO at
// this address before every use was given back (a cleanup group closes its
// members itself), else a free one; null when its reach is full.
Slot *Take(PTP_IO io, PTP_WIN32_IO_CALLBACK callback) {
  Slot *slot = Find(io);
  for (unsigned i = 0, at = HomeOf(io); slot == nullptr && i < kReach;
       ++i, at = (at + 1) % kSlots) {
    if (g_slots[at].io == nullptr &&
        InterlockedCompareExchangePointer(&g_slots[at].io, io, nullptr) ==
            nullptr)
      slot = &g_slots[at];
  }
  if (slot == nullptr) return nullptr;
  slot->callback = callback;
  InterlockedExchange(&slot->uses, 1);
  return slot;
}

// One use fewer; the last gives the slot back.
void Release(Slot *slot) {
  if (InterlockedDecrement(&slot->uses) == 0)
    InterlockedExchangePointer(&slot->io, nullptr);
}

VOID CALLBACK NqIoCompletionCallback(PTP_CALLBACK_INSTANCE instance,
                                     PVOID context, PVOID ov, ULONG result,
                                     ULONG_PTR transferred, PTP_IO io) {
  Slot *slot = Find(io);
  if (slot == nullptr) return;  // never: it outlives the TP_IO's callbacks
  PTP_WIN32_IO_CALLBACK callback = slot->callback;
  if (EnterCall())
    reinterpret_cast<decltype(&::NQW_IoCompletionCallback)>(
        g_state.w2hook[kW2_IoCompletionCallback])(instance, context, ov, result,
                                                  transferred, io);
  callback(instance, context, ov, result, transferred, io);
  Release(slot);
}

PTP_IO WINAPI NqCreateThreadpoolIo(HANDLE file, PTP_WIN32_IO_CALLBACK callback,
                                   PVOID context,
                                   PTP_CALLBACK_ENVIRON environment) {
  if (callback == nullptr ||
      g_state.w2hook[kW2_IoCompletionCallback] == nullptr)
    return g_real.create(file, callback, context, environment);
  PTP_IO io = g_real.create(file, NqIoCompletionCallback, context, environment);
  if (io == nullptr || Take(io, callback) != nullptr) return io;
  // No room: made again with the program's callback, untraced. A TP_IO
  // that has started nothing is freed at once.
  g_real.close(io);
  return g_real.create(file, callback, context, environment);
}

// Counted before the I/O is issued: its callback cannot come sooner.
VOID WINAPI NqStartThreadpoolIo(PTP_IO io) {
  if (Slot *slot = Find(io)) InterlockedIncrement(&slot->uses);
  g_real.start(io);
}

// Given back before the system's call: once it has returned, a TP_IO with
// nothing outstanding may be freed and its address taken by another.
VOID WINAPI NqCancelThreadpoolIo(PTP_IO io) {
  if (Slot *slot = Find(io)) Release(slot);
  g_real.cancel(io);
}

VOID WINAPI NqCloseThreadpoolIo(PTP_IO io) {
  if (Slot *slot = Find(io)) Release(slot);
  g_real.close(io);
}

template <int I>
VOID CALLBACK NqBoundCallback(DWORD error, DWORD transferred, LPOVERLAPPED ov) {
  if (EnterCall())
    reinterpret_cast<decltype(&::NQW_CompletionRoutine)>(
        g_state.w2hook[kW2_CompletionRoutine])(error, transferred, ov, 0);
  g_bound[I](error, transferred, ov);
}

template <int... I>
LPOVERLAPPED_COMPLETION_ROUTINE BoundRelay(int i,
                                           std::integer_sequence<int, I...>) {
  static constexpr LPOVERLAPPED_COMPLETION_ROUTINE kRelays[] = {
      &NqBoundCallback<I>...};
  return kRelays[i];
}

// The relay of function, which takes the first free index if it has none;
// function itself when every index is another's.
LPOVERLAPPED_COMPLETION_ROUTINE BoundRelayOf(
    LPOVERLAPPED_COMPLETION_ROUTINE function) {
  for (int i = 0; i < kBound; ++i) {
    void *seen = InterlockedCompareExchangePointer(
        reinterpret_cast<void *volatile *>(&g_bound[i]),
        reinterpret_cast<void *>(function), nullptr);
    if (seen == nullptr || seen == reinterpret_cast<void *>(function))
      return BoundRelay(i, std::make_integer_sequence<int, kBound>());
  }
  return function;
}

BOOL WINAPI NqBindIoCompletionCallback(HANDLE file,
                                       LPOVERLAPPED_COMPLETION_ROUTINE function,
                                       ULONG flags) {
  bool traced =
      function != nullptr && g_state.w2hook[kW2_CompletionRoutine] != nullptr;
  return g_real.bind(file, traced ? BoundRelayOf(function) : function, flags);
}

template <typename Fn>
void LookUp(HMODULE kernel32, const char *name, Fn *out) {
  FARPROC proc = GetProcAddress(kernel32, name);
  memcpy(out, &proc, sizeof *out);
}

}  // namespace

void *ThreadPoolHookOf(const char *name) {
  if (!g_real.looked_up) {
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    LookUp(kernel32, "CreateThreadpoolIo", &g_real.create);
    LookUp(kernel32, "StartThreadpoolIo", &g_real.start);
    LookUp(kernel32, "CancelThreadpoolIo", &g_real.cancel);
    LookUp(kernel32, "CloseThreadpoolIo", &g_real.close);
    LookUp(kernel32, "BindIoCompletionCallback", &g_real.bind);
    g_real.looked_up = true;
  }
  // The four of thread-pool I/O go together or not at all: a TP_IO's
  // uses are counted by all of them.
  bool found = strcmp(name, "BindIoCompletionCallback") == 0
                   ? g_real.bind != nullptr
                   : g_real.create != nullptr && g_real.start != nullptr &&
                         g_real.cancel != nullptr && g_real.close != nullptr;
#define NQRUN_THREADPOOL(fn, bytes) \
  if (found && strcmp(name, #fn) == 0) return Address(&Nq##fn);
  NQRUN_THREADPOOL_CALLS(NQRUN_THREADPOOL)
#undef NQRUN_THREADPOOL
  return nullptr;
}

}  // namespace nqinj
