// The entry by which netquill-run.exe has the library hold the trace file
// open for the program.
#include "netquill_winsock2.h"
#include "platform/win32/held_file_win32.h"

int NQ_CALL NQW_HoldTraceFile(const char *path) {
  return nq::HoldFile(path) ? 1 : 0;
}
