// The entry by which netquill-run hands the library the trace file it keeps
// open for the program.
#include "netquill_posix.h"
#include "platform/posix/held_file.h"

int NQP_HoldTraceFile(const char *path, int descriptor) {
  return nq::HoldFile(path, descriptor) ? 1 : 0;
}
