// The launcher's side of the ring of records: it shares the ring with the
// program it starts and writes what the program's processes put there to
// the trace file (or, per process, to each process's own), from a thread
// of its own, so that a traced call costs its process no system call.
#ifndef NQ_RUN_LINUX_LAUNCHER_RECORD_READER_H
#define NQ_RUN_LINUX_LAUNCHER_RECORD_READER_H

#include "lost_count.h"

namespace nqrun {

// Whether records go through shared memory: unless the user asked the
// processes to append for themselves (NETQUILL_SHARED_RECORDS=0).
bool SharedRecordsAsked();

// Makes the ring for records to trace_path (absolute; with per_process,
// trace_path.PID), names it to the program in the environment and starts
// writing. False, and the program appends for itself, when it cannot.
bool StartRecordReader(const char *trace_path, bool per_process);

// The ring's descriptor in this process, for a process attached to, which
// opens it through /proc; -1 without a ring.
int RecordsDescriptor();

// The count of records lost that the ring's processes add to (records they
// could not write, and those of writers killed half-way, which the reader
// adds as it stops), in place of a count of its own; null without a ring.
NQP_LostRecords *RecordsLostCount();

// Once the program has ended: takes no more records (processes still
// running append for themselves), writes those the ring holds and stops.
void StopRecordReader();

}  // namespace nqrun

#endif  // NQ_RUN_LINUX_LAUNCHER_RECORD_READER_H
