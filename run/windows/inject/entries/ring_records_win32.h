// Records handed to netquill-run.exe through the ring of records it shares
// with the processes it traces, instead of each written to the held file:
// no system call per record, where a write costs a round trip to Wine's
// server and more. The launcher writes them to the file.
#ifndef NQ_ENTRIES_RING_RECORDS_WIN32_H
#define NQ_ENTRIES_RING_RECORDS_WIN32_H

// A header of the entries floor, above the library's: a file below it
// must not include it.
#if NQ_FLOOR < 5
#error "run/windows/inject/entries/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stddef.h>

namespace nq {

// From now on, records for held_path go into the ring that the section
// named in the environment (NETQUILL_RECORDS_SECTION) holds, mapped here
// for the life of the process. False, and nothing handed over, when there
// is none or it is not such a ring.
bool ShareRecordsFromEnvironment(const char *held_path);

// From now on, records for path go into the ring of the launcher that
// attached to the process, named in its block; a ring joined at an
// earlier attach is left first. False when there is none or it is not
// such a ring, or the process puts its records into the ring of the
// launcher that started it. session_ended is called, with the launcher's
// process id, when that launcher ends while the process is in its ring.
bool JoinAttachersRing(const char *name, const char *path,
                       void (*session_ended)(unsigned long launcher));

// At a detach: no record goes into the attaching launcher's ring any
// more, and once no thread is putting one (a second at most), the ring is
// unmapped.
void LeaveAttachersRing();

// Puts a record for path into the ring: true when it is there. False when
// there is no ring, path is not the held file, the record is too large,
// the ring stays full for 20 ms, or the launcher has ended: the caller
// appends it itself. When the launcher is found gone, this process writes
// what the ring still holds and the ring is left.
bool PutInRing(const char *path, const void *data, size_t size);

// Counts a record this process could not write, for the launcher to
// report once the program has ended; nothing without a ring.
void NoteLostRecord();

// At the process's end: waits a little for the launcher to take what
// this process put in the ring; when it is gone, what it left there is
// written by this process.
void LeaveRing();

}  // namespace nq

#endif
