// The processes that hold one trace file open, counted in a small shared
// section named after the file's identity. A process that finds itself the
// file's only writer appends without the cross-process guard (under Wine
// two round trips to its server, most of a record's cost); as soon as a
// second process holds the file, every writer takes the guard again.
#ifndef NQ_ENTRIES_FILE_WRITERS_WIN32_H
#define NQ_ENTRIES_FILE_WRITERS_WIN32_H

// A header of the entries floor, above the library's: a file below it
// must not include it.
#if NQ_FLOOR < 5
#error "run/windows/inject/entries/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <windows.h>

namespace nq {

struct FileWriters;

// Counts this process among the writers of the file with this identity,
// once the writers that found themselves alone have finished their
// appends; joining the same file again returns the same writers. Null when
// no section can be made: then this process takes the guard for every
// append. Its count is never given back, so a file that once had two
// writers keeps the guard for good.
FileWriters *JoinFileWriters(DWORD volume, DWORD index_high, DWORD index_low);

// When this process is the file's only writer, the count of appends under
// way without the guard, which the caller gives to LeaveSoleWriter after
// its append (this process's other threads wait meanwhile). Null when
// others hold the file, or writers is null: the caller takes the guard.
volatile LONG *EnterSoleWriter(FileWriters *writers);
void LeaveSoleWriter(volatile LONG *unguarded);

}  // namespace nq

#endif
