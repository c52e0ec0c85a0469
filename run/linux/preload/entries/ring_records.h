// Records handed to netquill-run through the ring of records it shares
// with the processes it traces, instead of each written to the held file:
// no system call per record. The launcher writes them to the file.
#ifndef NQ_ENTRIES_RING_RECORDS_H
#define NQ_ENTRIES_RING_RECORDS_H

// A header of the interposer's entries, above the library's floors.
#if NQ_FLOOR < 5
#error "run/linux/preload/entries/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stddef.h>

namespace nq {

// From now on, records for the held file go into the ring at descriptor
// (a sealed memory file laid out as record_ring.h says), mapped here; the
// mapping outlives the descriptor and is inherited at fork. False, and
// nothing handed over, when descriptor is not such a ring. With count_lost
// the records the process fails to write are counted in the ring's count.
// A process under a file-size limit takes only that count.
bool ShareRecordsIn(int descriptor, bool count_lost);

// Stops putting records into the ring and, once no thread is putting one,
// unmaps it (a detach): the process keeps nothing of the launcher's.
void LeaveRing();

// Puts a record for path into the ring: true when it is there. False when
// there is no ring, path is not the held file, the record is too large,
// the ring stays full for a while, or the launcher has ended: the caller
// appends it itself. When the launcher is found gone, this process writes
// what the ring still holds and the ring is left for good.
bool PutInRing(const char *path, const void *data, size_t size);

// From now on this process appends its records itself: the ring is left,
// the lost count kept. For a process limited in the size of files it
// writes. Safe in a signal handler.
void AppendOwnRecords();

// In a forked child: the process and thread ids the ring's records carry
// are the child's from now on.
void RingInChild();

}  // namespace nq

#endif
