// netquill-run -p: the interposer loaded into running processes, traced
// until the user stops the launcher or the processes end.
#ifndef NQ_DROPIN_NETQUILL_RUN_ATTACH_H
#define NQ_DROPIN_NETQUILL_RUN_ATTACH_H

#include <stdint.h>
#include <sys/types.h>

#include "launcher_core.h"

namespace nqrun {

struct AttachParams;

// Why process pid cannot be attached to by any way (it is gone, traced,
// stopped, a launcher, a 32-bit program, or not ours to read): the exit
// code 2 with the message said; 0 when nothing speaks against it.
int CheckAttachable(pid_t pid);

// One process: checked, then made to load the interposer (preload, a full
// path) and to call NQR_Attach with params. Exit code 0, or the refusal's
// (2) or another failure's (1), with its message said on standard error.
// *stopped_ns: how long the thread that loaded it stood still.
int AttachProcess(pid_t pid, const char *preload, const AttachParams &params,
                  uint64_t *stopped_ns);

// Makes the process call NQR_Detach, giving up at deadline_ns on the
// monotonic clock (0: never). False when it has ended, or no thread could
// be stopped in time.
bool DetachProcess(pid_t pid, const char *preload, uint64_t deadline_ns = 0);

// The whole command: attaches to each process, says "attached", waits for
// SIGINT, SIGTERM or the end of every process, and detaches from those
// still running. Returns the exit code.
int RunAttached(const nqdrop::RunOptions &options, const char *path,
                const char *preload);

}  // namespace nqrun

#endif  // NQ_DROPIN_NETQUILL_RUN_ATTACH_H
