// The settings block of a traced process: a small named section,
// "Local\NetQuillAttach-PID", that NQINJECT.DLL maps for the life of the
// process and reads its settings from, and that netquill-run -p writes to
// attach (settings, tracing on) and to detach (tracing off). Every change
// ends with a new generation, which the DLL compares on each traced call.
#ifndef NQ_DROPIN_NETQUILL_RUN_WIN_ATTACH_BLOCK_H
#define NQ_DROPIN_NETQUILL_RUN_WIN_ATTACH_BLOCK_H

#include <windows.h>

#include "trace_env.h"

namespace nqrun {

struct AttachBlock {
  DWORD size;                // sizeof(AttachBlock) of the build that made it
  volatile LONG generation;  // bumped after each change of the fields below
  volatile LONG on;          // tracing wanted
  volatile LONG loaded;      // set by the DLL once it took the block
  DWORD session;             // the attaching launcher's id; 0: started so
  DWORD per_process;         // 1: the path gets .PID
  uint32_t flags;            // the trace flags
  DWORD views;               // kViewTimes, kViewLabels: -T and -y
  char path[nqdrop::kTracePathSize];  // the trace file; empty: the default
  // The section of the attaching launcher's ring of records; empty: the
  // process appends its records itself.
  char records[64];
};

constexpr DWORD kViewTimes = 1;
constexpr DWORD kViewLabels = 2;

constexpr int kBlockNameSize = 48;
void BlockName(DWORD process_id, wchar_t *name);

// The block of the process of that id, mapped, with its section's handle in
// *section: made when create and none exists (*made then true), else only
// opened. Null when there is none, it cannot be mapped, or another build
// of a different layout made it.
AttachBlock *MapBlock(DWORD process_id, bool create, HANDLE *section,
                      bool *made);

// Applies a change made to the block's fields: the DLL rereads them on its
// next traced call.
void Publish(AttachBlock *block);

}  // namespace nqrun

#endif  // NQ_DROPIN_NETQUILL_RUN_WIN_ATTACH_BLOCK_H
