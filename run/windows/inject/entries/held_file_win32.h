// A trace file kept open for the process: netquill-run.exe has the library
// open its file once, as the program starts, so that each record is one
// write between the append guard's lock and unlock instead of an open, a
// lock, a write and a close, each of which is a round trip to Wine's
// server.
#ifndef NQ_PLATFORM_WIN32_HELD_FILE_WIN32_H
#define NQ_PLATFORM_WIN32_HELD_FILE_WIN32_H

// A header of the platform floor: a file below it must not include it.
#if NQ_FLOOR < 1
#error "src/platform/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <windows.h>

#include <stddef.h>

namespace nq {

// Takes the guard byte of file for one append: false when the file has no
// byte-range locks (not a disk file), and the write goes ahead alone.
bool TakeAppendGuard(HANDLE file, OVERLAPPED *guard);

// From now on, appends to path go through a handle opened here: taken only
// for a disk file. Call it before threads trace. False when refused
// (appends use the path).
bool HoldFile(const char *path);

// Appends a record to path through the held handle, when path is the held
// file, into *result as append reports it. False when path is not held, or
// the handle no longer names the file it was opened on (the program closed
// it and the value came back for another object: the hold is dropped, never
// written through; asked only of a handle the system would not protect
// from closing), and the caller opens the path. Leaves the last error as
// it found it. HoldFile makes the services' append try it first, so that
// the library used without the launcher pays nothing for it.
bool AppendHeld(const char *path, const void *data, size_t size, int *result);

}  // namespace nq

#endif
