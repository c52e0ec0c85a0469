// Windows per-thread state: one native TLS slot, which works in a library
// loaded at run time on every Windows, pointing to a record on the process
// heap that is made on the thread's first call and freed when the thread
// ends (DLL_THREAD_DETACH) or the library is unloaded.
#include <windows.h>

#include "core/thread_state.h"

namespace nq {
namespace {

DWORD g_slot = TLS_OUT_OF_INDEXES;

// Links every live state so that an unload can free those of threads that
// still run. A lock of its own, held only to link and unlink: a thread that
// ends holds the loader lock, and a thread holding the library lock may
// wait for the loader lock (module file name), so taking the library lock
// here could deadlock.
CRITICAL_SECTION g_states_lock;
ThreadState *g_states;

ThreadState *NewState() {
  auto *ts = static_cast<ThreadState *>(
      HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(ThreadState)));
  if (ts == nullptr) return nullptr;
  if (!TlsSetValue(g_slot, ts)) {
    HeapFree(GetProcessHeap(), 0, ts);
    return nullptr;
  }
  EnterCriticalSection(&g_states_lock);
  ts->next = g_states;
  if (g_states != nullptr) g_states->prev = ts;
  g_states = ts;
  LeaveCriticalSection(&g_states_lock);
  return ts;
}

void Unlink(ThreadState *ts) {
  if (ts->prev != nullptr) {
    ts->prev->next = ts->next;
  } else {
    g_states = ts->next;
  }
  if (ts->next != nullptr) ts->next->prev = ts->prev;
}

}  // namespace

bool ThreadStatesCreate() {
  g_slot = TlsAlloc();
  if (g_slot == TLS_OUT_OF_INDEXES) return false;
  InitializeCriticalSection(&g_states_lock);
  g_states = nullptr;
  return true;
}

void ThreadStatesDelete(bool give_back) {
  // At process exit the other threads are gone mid-call and the system
  // reclaims everything: nothing is touched.
  if (!give_back || g_slot == TLS_OUT_OF_INDEXES) return;
  EnterCriticalSection(&g_states_lock);
  while (g_states != nullptr) {
    ThreadState *ts = g_states;
    g_states = ts->next;
    HeapFree(GetProcessHeap(), 0, ts);
  }
  LeaveCriticalSection(&g_states_lock);
  DeleteCriticalSection(&g_states_lock);
  // Freeing the slot clears its value in every thread.
  TlsFree(g_slot);
  g_slot = TLS_OUT_OF_INDEXES;
}

ThreadState *ThisThread() {
  // TlsGetValue sets the last error to 0 when it succeeds: the caller's
  // code may not have been captured yet, so it is kept around the call.
  DWORD saved = GetLastError();
  auto *ts = static_cast<ThreadState *>(TlsGetValue(g_slot));
  if (__builtin_expect(ts == nullptr, 0)) ts = NewState();
  SetLastError(saved);
  return ts;
}

void ReleaseThisThread() {
  DWORD saved = GetLastError();
  auto *ts = static_cast<ThreadState *>(TlsGetValue(g_slot));
  if (ts != nullptr) {
    TlsSetValue(g_slot, nullptr);
    EnterCriticalSection(&g_states_lock);
    Unlink(ts);
    LeaveCriticalSection(&g_states_lock);
    HeapFree(GetProcessHeap(), 0, ts);
  }
  SetLastError(saved);
}

}  // namespace nq
