// The byte of a trace file its writers take in turn around each append.
#ifndef NQ_PLATFORM_WIN32_APPEND_GUARD_WIN32_H
#define NQ_PLATFORM_WIN32_APPEND_GUARD_WIN32_H

// A header of the platform floor: a file below it must not include it.
#if NQ_FLOOR < 1
#error "src/platform/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <windows.h>

namespace nq {

// Takes the guard byte of file for one append: false when the file has no
// byte-range locks (not a disk file), and the write goes ahead alone.
bool TakeAppendGuard(HANDLE file, OVERLAPPED *guard);

}  // namespace nq

#endif
