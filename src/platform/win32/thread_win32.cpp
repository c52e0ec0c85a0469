// Windows per-thread storage: one native TLS slot, which works in a library
// loaded at run time on every Windows, pointing to a block on the process
// heap that is made on the thread's first call and freed when the thread
// ends (DLL_THREAD_DETACH) or the library is unloaded.
#include <windows.h>

#include "platform/thread.h"
#include "platform/win32/teb_win32.h"

namespace nq {
namespace {

// The links of a live block; the library's bytes follow them, and the
// slot's value is those bytes, so that the usual read returns it as it is.
struct alignas(16) Block {
  Block *prev;  // every live block, for the unload
  Block *next;
};

void *BytesOf(Block *b) { return b + 1; }
Block *BlockOf(void *bytes) { return static_cast<Block *>(bytes) - 1; }

DWORD g_slot = TLS_OUT_OF_INDEXES;
size_t g_block_size;  // the library's bytes of each block

// Links every live block so that an unload can free those of threads that
// still run. A lock of its own, held only to link and unlink: a thread that
// ends holds the loader lock, and a thread holding the library lock may
// wait for the loader lock (module file name), so taking the library lock
// here could deadlock.
CRITICAL_SECTION g_blocks_lock;
Block *g_blocks;

__attribute__((noinline)) void *NewBlock() {
  DWORD saved = GetLastError();
  auto *b = static_cast<Block *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                           sizeof(Block) + g_block_size));
  if (b != nullptr && !TlsSetValue(g_slot, BytesOf(b))) {
    HeapFree(GetProcessHeap(), 0, b);
    b = nullptr;
  }
  if (b != nullptr) {
    EnterCriticalSection(&g_blocks_lock);
    b->next = g_blocks;
    if (g_blocks != nullptr) g_blocks->prev = b;
    g_blocks = b;
    LeaveCriticalSection(&g_blocks_lock);
  }
  SetLastError(saved);
  return b != nullptr ? BytesOf(b) : nullptr;
}

// A slot above the thread block's first 64 is read through TlsGetValue,
// which sets the last error to 0 when it succeeds: the caller's code may
// not have been captured yet, so it is kept around the call. A thread
// without a block yet gets one here. Apart, so that the usual read of the
// slot sets up no frame.
__attribute__((noinline)) void *SlowBlock() {
  void *b = nullptr;
  if (g_slot >= kTebTlsSlotCount) {
    DWORD saved = GetLastError();
    b = TlsGetValue(g_slot);
    SetLastError(saved);
  }
  return b != nullptr ? b : NewBlock();
}

void *SlotValue() {
  if (g_slot < kTebTlsSlotCount) return TebTlsValue(g_slot);
  DWORD saved = GetLastError();
  void *b = TlsGetValue(g_slot);
  SetLastError(saved);
  return b;
}

void Unlink(Block *b) {
  if (b->prev != nullptr) {
    b->prev->next = b->next;
  } else {
    g_blocks = b->next;
  }
  if (b->next != nullptr) b->next->prev = b->prev;
}

// The block of a slot below 64, read from the thread's own block.
void *TebBlock() {
  void *b = TebTlsValue(g_slot);
  if (__builtin_expect(b != nullptr, 1)) return b;
  return SlowBlock();
}

void *AnyBlock() { return SlowBlock(); }

}  // namespace

void *(*g_this_thread_block)() = AnyBlock;

// The loader tells the library's entry point of a thread's end; there is
// nothing for the platform to call.
bool ThreadBlocksCreate(size_t block_size, ThreadEndNotice) {
  g_block_size = block_size;
  g_slot = TlsAlloc();
  if (g_slot == TLS_OUT_OF_INDEXES) return false;
  InitializeCriticalSection(&g_blocks_lock);
  g_blocks = nullptr;
  g_this_thread_block = g_slot < kTebTlsSlotCount ? TebBlock : AnyBlock;
  return true;
}

void ThreadBlocksDelete(bool give_back) {
  // At process exit the other threads are gone mid-call and the system
  // reclaims everything: nothing is touched.
  if (!give_back || g_slot == TLS_OUT_OF_INDEXES) return;
  EnterCriticalSection(&g_blocks_lock);
  while (g_blocks != nullptr) {
    Block *b = g_blocks;
    g_blocks = b->next;
    HeapFree(GetProcessHeap(), 0, b);
  }
  LeaveCriticalSection(&g_blocks_lock);
  DeleteCriticalSection(&g_blocks_lock);
  // Freeing the slot clears its value in every thread.
  g_this_thread_block = AnyBlock;
  TlsFree(g_slot);
  g_slot = TLS_OUT_OF_INDEXES;
}

void ReleaseThisThreadBlock() {
  void *bytes = SlotValue();
  if (bytes == nullptr) return;
  Block *b = BlockOf(bytes);
  DWORD saved = GetLastError();
  TlsSetValue(g_slot, nullptr);
  EnterCriticalSection(&g_blocks_lock);
  Unlink(b);
  LeaveCriticalSection(&g_blocks_lock);
  HeapFree(GetProcessHeap(), 0, b);
  SetLastError(saved);
}

}  // namespace nq
