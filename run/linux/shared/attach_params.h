// What netquill-run -p hands the interposer it loads into a running
// process: the settings a started program reads from its environment,
// which a running process no longer reads. The launcher writes the block
// into the process's memory and passes its address to NQR_Attach.
#ifndef NQ_DROPIN_NETQUILL_RUN_ATTACH_PARAMS_H
#define NQ_DROPIN_NETQUILL_RUN_ATTACH_PARAMS_H

#include <stdint.h>

#include "trace_env.h"

namespace nqrun {

struct AttachParams {
  uint32_t size;           // sizeof(AttachParams): both sides agree
  uint32_t flags;          // -f, parsed
  uint32_t per_process;    // -ff: the path gets .PID
  uint32_t dump_max;       // -s: bytes a dump shows, 0 all
  uint32_t launcher;       // netquill-run's process id
  uint32_t call_times;     // -T
  uint32_t socket_labels;  // -y
  // The launcher's descriptor of the ring of records, opened by the
  // process through /proc/<launcher>/fd; -1: the process appends itself.
  int32_t records_fd;
  uint32_t unused;
  uint64_t calls;                     // -e: the calls traced, by bit
  char path[nqdrop::kTracePathSize];  // absolute; empty: the default file
};

// NQR_Attach's results, for the launcher's messages.
enum AttachResult {
  kAttached = 0,
  kAttachPreloaded = 1,  // started under netquill-run: traced already
  kAttachMismatch = 2,   // a block of another size: another build
  kAttachBusy = 3,       // another netquill-run -p, still running, has it
};

}  // namespace nqrun

// The interposer's entries for the launcher, called inside the process.
extern "C" {
// Takes the settings, holds the trace file, recognises the sockets open
// now and redirects every loaded module's socket and data calls here.
int NQR_Attach(const nqrun::AttachParams *params);
// Stops every record of the process and of its forked children, and
// points the modules' calls back where they went before.
int NQR_Detach(void);
}

#endif  // NQ_DROPIN_NETQUILL_RUN_ATTACH_PARAMS_H
