// The records of the system-call path: a traced program's socket system
// calls, seen at their entry and exit stops, written by the interposer's
// own entries from copies of the program's memory, so that each line is
// the one the interposer writes for a C program making the same call.
#ifndef NQ_RUN_LINUX_LAUNCHER_SYSCALL_RECORDS_H
#define NQ_RUN_LINUX_LAUNCHER_SYSCALL_RECORDS_H

#include <sys/types.h>

#include <time.h>

#include "trace_env.h"

namespace nqrun {

// A call as its entry stop saw it, and what the call may overwrite.
struct CallAtEntry {
  long number;
  unsigned long args[6];
  unsigned name_length;  // an out-address's length before the call
  bool record;           // a record follows at its exit
  timespec start;        // -T: when the entry stop came, real-time clock
  timespec began;        //   and monotonic clock
};

// Takes the settings the records follow; lost records are counted at
// lost_fd (the launcher's shared count) when it is not -1.
void StartRecords(const nqdrop::TraceEnv &env, int lost_fd);

// From now on a data call on a descriptor not known as a socket the
// process made asks the system once whether it is a socket: attached, the
// process made its sockets before the trace began.
void RecogniseSockets();

// Writes the records held back while their threads were stopped: called
// once the threads run again.
void WriteHeldRecords();

// The system calls the records know, for the filter: number i of count.
int RecordedCallCount();
long RecordedCall(int i);

// At a call's entry stop: whether its exit stop is needed (the call is
// recorded, or it makes or ends a socket), with what the call may
// overwrite read now. thread is the stopped thread, process its process.
bool TakeEntry(pid_t thread, pid_t process, CallAtEntry *call);

// At its exit stop, with the call's result (a negative errno for a
// failure): its record, held back until WriteHeldRecords.
void WriteRecord(pid_t thread, pid_t process, const CallAtEntry &call,
                 long result);

// A process seen for the first time: it inherits the sockets of parent (a
// fork), or none (0).
void ProcessStarted(pid_t process, pid_t parent);

// A process replaced its program, by its thread former (now process): the
// sockets it made stay open but are no longer known as made, and its trace
// starts again, under the new program's name.
void ProcessExeced(pid_t process, pid_t former);

// A thread ended: its trace ends without a stop banner; the process's
// sockets are forgotten with its first thread, which ends last.
void ThreadEnded(pid_t thread, pid_t process);

}  // namespace nqrun

#endif  // NQ_RUN_LINUX_LAUNCHER_SYSCALL_RECORDS_H
