// The table of the program's completion routines, by OVERLAPPED, and the
// launcher's routine the system calls instead. A slot is taken with one
// compare-and-swap on its OVERLAPPED field and given back by clearing it:
// no lock and no heap, as the calls that fill it are the hot path.
#include "inject_routines.h"

#include "entries/netquill_winsock2.h"
#include "inject_patch.h"

namespace nqinj {
namespace {

// Completion routines pending at once in one process: each thread waits
// for its own, so a few per thread are the most a program has.
constexpr unsigned kSlots = 1024;

struct Slot {
  void *volatile ov;                           // the call's, or null if free
  LPWSAOVERLAPPED_COMPLETION_ROUTINE routine;  // the program's
  volatile LONG issued;  // a lookup's: the issuing call's entry has run
};

Slot g_slots[kSlots];

unsigned HomeOf(LPWSAOVERLAPPED ov) {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(ov) >> 4) % kSlots;
}

// Frees ov's slot and gives the program's routine back; null if ov has none
// (never for a call the system completed with this routine).
LPWSAOVERLAPPED_COMPLETION_ROUTINE Take(LPWSAOVERLAPPED ov) {
  for (unsigned i = 0, at = HomeOf(ov); i < kSlots;
       ++i, at = (at + 1) % kSlots) {
    Slot &slot = g_slots[at];
    if (slot.ov != ov) continue;
    LPWSAOVERLAPPED_COMPLETION_ROUTINE routine = slot.routine;
    InterlockedExchangePointer(&slot.ov, nullptr);
    return routine;
  }
  return nullptr;
}

// Freed before the program's routine runs, which may issue the next call
// with the same OVERLAPPED.
void CALLBACK NqCompletionRoutine(DWORD error, DWORD transferred,
                                  LPWSAOVERLAPPED ov, DWORD flags) {
  LPWSAOVERLAPPED_COMPLETION_ROUTINE routine = Take(ov);
  if (EnterCall())
    reinterpret_cast<decltype(&::NQW_CompletionRoutine)>(
        g_state.w2hook[kW2_CompletionRoutine])(error, transferred, ov, flags);
  if (routine != nullptr) routine(error, transferred, ov, flags);
}

// GetAddrInfoExW's routine: void (error, bytes, OVERLAPPED).
using LookupRoutine = void(CALLBACK *)(DWORD, DWORD, LPWSAOVERLAPPED);

// A lookup completes on a pool thread, perhaps before the call that issued
// it has handed it to its entry: the completion waits for that, so that it
// finds the lookup remembered and comes after its line. The wait is
// bounded: an issuing thread the program suspended must not hold the pool
// thread, and with it the program's routine, for good.
constexpr int kIssueWaitMs = 2000;

void CALLBACK NqLookupRoutine(DWORD error, DWORD bytes, LPWSAOVERLAPPED ov) {
  for (unsigned i = 0, at = HomeOf(ov); i < kSlots;
       ++i, at = (at + 1) % kSlots) {
    if (g_slots[at].ov != ov) continue;
    for (int ms = 0; ms < kIssueWaitMs && !g_slots[at].issued; ++ms) Sleep(1);
    break;
  }
  LookupRoutine routine;
  void *taken = Address(Take(ov));
  memcpy(&routine, &taken, sizeof routine);
  if (EnterCall())
    reinterpret_cast<decltype(&::NQW_CompletionRoutine)>(
        g_state.w2hook[kW2_CompletionRoutine])(error, bytes, ov, 0);
  if (routine != nullptr) routine(error, bytes, ov);
}

}  // namespace

void *LookupRoutineFor(Route route, void *routine) {
  return route.slot >= 0 ? Address(&NqLookupRoutine) : routine;
}

void LookupIssued(Route route) {
  if (route.slot >= 0) InterlockedExchange(&g_slots[route.slot].issued, 1);
}

Route RememberRoutine(LPWSAOVERLAPPED ov,
                      LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
  Route route;
  if (ov == nullptr || routine == nullptr ||
      g_state.w2hook[kW2_CompletionRoutine] == nullptr)
    return route;
  for (unsigned i = 0, at = HomeOf(ov); i < kSlots;
       ++i, at = (at + 1) % kSlots) {
    Slot &slot = g_slots[at];
    if (slot.ov != nullptr ||
        InterlockedCompareExchangePointer(&slot.ov, ov, nullptr) != nullptr)
      continue;
    // The routine runs on this thread, once it waits alertably after the
    // call returned (a lookup's on a pool thread, once the system has it):
    // the fields are read only after these stores.
    slot.routine = routine;
    slot.issued = 0;
    route.slot = static_cast<int>(at);
    return route;
  }
  return route;  // full: this completion goes untraced
}

LPWSAOVERLAPPED_COMPLETION_ROUTINE RoutineFor(
    Route route, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
  return route.slot >= 0 ? NqCompletionRoutine : routine;
}

void ForgetRoutine(Route route) {
  if (route.slot >= 0)
    InterlockedExchangePointer(&g_slots[route.slot].ov, nullptr);
}

}  // namespace nqinj
