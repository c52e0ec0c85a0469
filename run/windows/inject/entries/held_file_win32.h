// A trace file kept open for the process: netquill-run.exe's injected DLL
// opens its file once, as the program starts, so that each record is one
// write between the append guard's lock and unlock instead of an open, a
// lock, a write and a close, each of which is a round trip to Wine's
// server.
#ifndef NQ_ENTRIES_HELD_FILE_WIN32_H
#define NQ_ENTRIES_HELD_FILE_WIN32_H

// A header of the entries floor, above the library's: a file below it
// must not include it.
#if NQ_FLOOR < 5
#error "run/windows/inject/entries/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stddef.h>

namespace nq {

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
// it found it. HoldFile installs it as the platform's services' append (g_os),
// from above, so that the library used without the launcher pays nothing for
// it.
bool AppendHeld(const char *path, const void *data, size_t size, int *result);

// Looks whether NETQUILL.DLL is loaded: a process with it is never its held
// file's lone writer. Called where modules load, outside any record.
void NoteLoadedModules();

}  // namespace nq

#endif
