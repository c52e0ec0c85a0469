// What the ring of records asks of the system it runs on: whether a
// writer or a reader still runs, a monotonic clock, the caller's own ids
// and a short pause. One file per system answers (ring_os_linux.cpp,
// ring_os_win32.cpp), chosen by the build; the ring's algorithm
// (record_ring.cpp) is the same on both.
#ifndef NQ_RUN_COMMON_RING_OS_H
#define NQ_RUN_COMMON_RING_OS_H

#include <cstdint>

namespace nqring {

// Whether thread tid of process pid still runs; tid == pid asks after the
// process itself (on Linux its main thread; on Windows, whose processes
// and threads draw their ids from one space, no thread has a process's
// id).
bool ThreadRuns(std::uint32_t pid, std::uint32_t tid);

// Nanoseconds of a clock every process of the machine shares and that
// never goes back.
std::int64_t MonotonicNs();

// The caller's process and thread ids, as records carry them.
std::uint32_t OwnProcessId();
std::uint32_t OwnThreadId();

// Gives up the processor for about a millisecond.
void PauseBriefly();

}  // namespace nqring

#endif  // NQ_RUN_COMMON_RING_OS_H
