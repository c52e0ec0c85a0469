// Per-thread storage for the library, and the notice that a thread ends.
// Each thread gets one block of the size the floors above ask for at
// attach, zero when the thread first asks for it, which they lay out as
// they need; the platform keeps what it needs per thread apart from it.
#ifndef NQ_PLATFORM_THREAD_H
#define NQ_PLATFORM_THREAD_H

// A header of the platform floor: a file below it must not include it.
#if NQ_FLOOR < 1
#error "src/platform/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stddef.h>

namespace nq {

// Called on a thread that ends, on that thread, where the system tells the
// platform of it (the POSIX thread key); on Windows the loader tells the
// library's entry point instead.
using ThreadEndNotice = void (*)();

// Sets up the per-thread storage, block_size bytes (aligned for any
// scalar) for each thread; false when the system refuses it, or the
// platform cannot hold blocks of that size, and then the library must not
// load. Called once at attach.
bool ThreadBlocksCreate(size_t block_size, ThreadEndNotice on_end);

// Tears it down at detach. give_back: the process goes on without the
// library (a dynamic unload), so every thread's block is freed.
void ThreadBlocksDelete(bool give_back);

// The calling thread's block, made on its first call where it has to be
// (Windows). Null only when no memory can be had for it. Leaves the system
// error state (GetLastError, errno) as it found it. Reached through a
// pointer that the platform sets to the quickest way the system allows.
extern void *(*g_this_thread_block)();

inline void *ThisThreadBlock() { return g_this_thread_block(); }

// Forgets the calling thread's block, if it has one: a later call on the
// same thread gets a zeroed one. Leaves the system error state as it was.
void ReleaseThisThreadBlock();

}  // namespace nq

#endif
