// The services' appends as netquill-run's entries make them: the held
// trace file first, then the path; a record that neither took is counted
// in the launcher's lost-record count.
#ifndef NQ_ENTRIES_ENTRIES_APPEND_H
#define NQ_ENTRIES_ENTRIES_APPEND_H

// A header of the interposer's entries, above the library's floors.
#if NQ_FLOOR < 5
#error "run/linux/preload/entries/ is above the floor of this file (NQ_FLOOR)"
#endif

namespace nq {

// Puts the entries' appends in front of the services' own, once: called
// when a file is held or a count is taken, before the threads trace. A
// table the tests put back is taken over again at the next call.
void UseEntriesAppend();

}  // namespace nq

#endif
