// The entries by which netquill-run hands the interposer the trace file it
// keeps open for the program, and the count of records lost it reports.
#include "entries/entries_append.h"
#include "entries/held_file.h"
#include "entries/lost_records.h"
#include "entries/posix_entries.h"
#include "entries/ring_records.h"
#include "platform/os.h"

int NQP_HoldTraceFile(const char *path, int descriptor) {
  nq::UseEntriesAppend();
  return nq::HoldFile(path, descriptor) ? 1 : 0;
}

void NQP_ForkPrepare(void) { nq::ForkPrepare(); }
void NQP_ForkInParent(void) { nq::ForkInParent(); }
void NQP_ForkInChild(void) { nq::ForkInChild(); }

void NQP_ReleaseHeldNumber(int descriptor) {
  nq::ReleaseHeldNumber(descriptor);
}

int NQP_ShareRecords(int descriptor) {
  nq::UseEntriesAppend();
  return nq::ShareRecordsIn(descriptor, true) ? 1 : 0;
}

int NQP_ShareAttachedRecords(int descriptor) {
  nq::UseEntriesAppend();
  return nq::ShareRecordsIn(descriptor, false) ? 1 : 0;
}

void NQP_LeaveSharedRecords(void) { nq::LeaveRing(); }

void NQP_AppendOwnRecords(void) { nq::AppendOwnRecords(); }

int NQP_CountLostRecords(int descriptor) {
  nq::UseEntriesAppend();
  return nq::CountLostIn(descriptor) ? 1 : 0;
}
