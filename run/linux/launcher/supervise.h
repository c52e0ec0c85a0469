// netquill-run outlives the program it traces: it starts the program as
// its child, passes on the signals sent to it, waits, says how many
// records could not be written, and ends as the program ended.
#ifndef NQ_DROPIN_NETQUILL_RUN_SUPERVISE_H
#define NQ_DROPIN_NETQUILL_RUN_SUPERVISE_H

#include <sys/types.h>

#include "lost_count.h"

namespace nqrun {

// The count of lost records shared with every traced process, made now and
// named in NETQUILL_LOST_FD at a number the program is unlikely to use;
// null (and the variable unset) where the system cannot make one.
NQP_LostRecords *ShareLostCount();

// Replaces this process with argv (program: its file as found on PATH, or
// null to let execvp search); says why it could not, and exits 127 or 126.
[[noreturn]] void ExecProgram(const char *program, char **argv);

// Starts argv as RunChild does, passing on the launcher's signals to it;
// returns its process id, or -1 when it could not be made (said).
pid_t StartChild(const char *program, char **argv, void (*before_exec)());

// Runs argv (program: its file as found on PATH, or null to let execvp
// search) in a child of this process, in its process group, with its
// terminal, environment and signal mask, after before_exec has run in the
// child; returns once it has ended, with its wait status (exit code 126
// when it could not be started).
int RunChild(const char *program, char **argv, void (*before_exec)());

// Makes this process the reaper of the processes the program leaves
// behind (a daemon's double fork reparents them here), so that
// WaitForOrphans can wait for them. Before RunChild.
void AdoptOrphans();

// Once the program has ended: waits until every process it left behind
// has ended too. The signals that were passed on to the program end the
// launcher now, as the program is gone: a Ctrl-C stops the wait (the
// processes left then append their records themselves).
void WaitForOrphans();

// Says on this process's standard error how many records lost counts,
// when any: once, after the program ended. trace names the trace file
// (null: the default one), with .PID added per process.
void SayLost(const NQP_LostRecords *lost, const char *trace, bool per_process);

// Ends this process as the program ended (status from RunChild): with the
// same code, or killed by the same signal, its core dump left to the
// program's.
[[noreturn]] void EndAs(int status);

}  // namespace nqrun

#endif  // NQ_DROPIN_NETQUILL_RUN_SUPERVISE_H
