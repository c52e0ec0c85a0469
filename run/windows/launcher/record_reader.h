// The launcher's side of the ring of records: it shares the ring with the
// program it starts and writes what the program's processes put there to
// the trace file (or, per process, to each process's own), from a thread
// of its own, so that a traced call costs its process no write.
#ifndef NQ_RUN_WINDOWS_LAUNCHER_RECORD_READER_H
#define NQ_RUN_WINDOWS_LAUNCHER_RECORD_READER_H

namespace nqrun {

// Whether records go through shared memory: unless the user turned it off
// (NETQUILL_SHARED_RECORDS=0); then the processes append for themselves.
bool SharedRecordsAsked();

// Makes the ring for records to trace_path (absolute; with per_process,
// trace_path.PID), names it to the program in the environment and starts
// writing. False, and the program appends for itself, when it cannot.
bool StartRecordReader(const char *trace_path, bool per_process);

// The name of the section StartRecordReader made, for an attached
// process's block.
const char *RecordsSectionName();

// Once the program has ended: takes no more records (processes still
// running append for themselves), writes those the ring holds and stops.
// The records lost: left out of the ring by a writer that ended half-way,
// or not written by a process that appended them itself.
unsigned long long StopRecordReader();

}  // namespace nqrun

#endif  // NQ_RUN_WINDOWS_LAUNCHER_RECORD_READER_H
