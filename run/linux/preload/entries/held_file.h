// A trace file kept open for the process: netquill-run opens the file once,
// before the program starts, so that records still reach it after the
// program changes its user, group or root directory, and each costs two
// calls instead of four.
#ifndef NQ_ENTRIES_HELD_FILE_H
#define NQ_ENTRIES_HELD_FILE_H

// A header of the interposer's entries, above the library's floors.
#if NQ_FLOOR < 5
#error "run/linux/preload/entries/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stddef.h>

namespace nq {

// From now on, appends to path go through descriptor: taken only when it
// is open for appending on the regular file that path names now. Any
// earlier held file is let go first. Call it before threads trace, or in a
// forked child. False when descriptor is refused (appends use the path).
bool HoldFile(const char *path, int descriptor);

// Appends a record to path through the held descriptor, when path is the
// held file, into *result as append reports it. False when path is not
// held, or the descriptor no longer holds the file (the program closed or
// reused its number: the hold is dropped, never written through), or the
// file has no name left, and the caller opens the path. A file moved keeps
// the records. Leaves errno as it found it.
bool AppendHeld(const char *path, const void *data, size_t size, int *result);

// Whether path is the held file's, held now or before the program took
// the number away.
bool IsHeldPath(const char *path);

// The program is about to put another file at number (dup2, dup3) or to
// close it: when it is the held descriptor, the hold is dropped, and the
// call returns only once no append is still writing through it, so that
// no record lands in the program's file. Leaves errno as it found it.
void ReleaseHeldNumber(int number);

}  // namespace nq

#endif
