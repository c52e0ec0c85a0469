// The entries by which netquill-run hands the library the trace file it
// keeps open for the program, and the count of records lost it reports.
#include "netquill_posix.h"
#include "platform/posix/held_file.h"
#include "platform/posix/lost_records.h"

int NQP_HoldTraceFile(const char *path, int descriptor) {
  return nq::HoldFile(path, descriptor) ? 1 : 0;
}

int NQP_CountLostRecords(int descriptor) {
  return nq::CountLostIn(descriptor) ? 1 : 0;
}
