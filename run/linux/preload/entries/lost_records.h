// The count of records that could not be written, shared with
// netquill-run, which reports it once the program has ended.
#ifndef NQ_ENTRIES_LOST_RECORDS_H
#define NQ_ENTRIES_LOST_RECORDS_H

// A header of the interposer's entries, above the library's floors.
#if NQ_FLOOR < 5
#error "run/linux/preload/entries/ is above the floor of this file (NQ_FLOOR)"
#endif

#include "lost_count.h"

namespace nq {

// From now on, records that cannot be appended are counted in the shared
// count at descriptor (laid out as NQP_LostRecords says), mapped here;
// the mapping outlives the descriptor and is inherited at fork. False,
// and nothing counted, when descriptor is not such a count.
bool CountLostIn(int descriptor);

// The same, for a count mapped already (in the ring's share).
void CountLostAt(NQP_LostRecords *count);

// Adds one to the shared count, when there is one. One atomic add: safe
// in a signal handler.
void NoteLostRecord();

}  // namespace nq

#endif
