// The trace file held open for a traced process, at a number programs do
// not reach for: shared by the launcher (for the program it starts) and
// the interposer (for a process attached to).
#ifndef NQ_DROPIN_NETQUILL_RUN_HELD_OPEN_H
#define NQ_DROPIN_NETQUILL_RUN_HELD_OPEN_H

namespace nqrun {

// Opens path for appending (created if missing, never waiting on a FIFO)
// and, when it is a regular file, moves it to the first free number from
// three quarters of the descriptor limit up: programs take the lowest
// free numbers, and some close a range from the top. Kept across exec
// unless close_on_exec. The number, or -1.
int OpenHeldFile(const char *path, bool close_on_exec);

}  // namespace nqrun

#endif  // NQ_DROPIN_NETQUILL_RUN_HELD_OPEN_H
