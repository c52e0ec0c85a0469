// The entry by which the injected DLL holds the trace file open for the
// program.
// Winsock2.h, which the entries' header brings, comes before windows.h.
#include "entries/netquill_winsock2.h"

#include "entries/held_file_win32.h"

int NQ_CALL NQW_HoldTraceFile(const char *path) {
  return nq::HoldFile(path) ? 1 : 0;
}
