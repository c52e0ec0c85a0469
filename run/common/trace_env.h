// What the drop-ins take from the environment: read once, when they are
// loaded, and applied to each thread on its first socket call.
#ifndef NQ_DROPIN_TRACE_ENV_H
#define NQ_DROPIN_TRACE_ENV_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "netquill_calls.h"

namespace nqdrop {

constexpr int kTracePathSize = 256;  // the library's path field
constexpr int kPidDigits = 7;        // the largest process id Linux gives

// The variables the launchers set and the drop-ins read.
constexpr char kFileVariable[] = "NETQUILL_FILE";
constexpr char kFlagsVariable[] = "NETQUILL_FLAGS";
constexpr char kTraceVariable[] = "NETQUILL_TRACE";
constexpr char kPerProcessVariable[] = "NETQUILL_PER_PROCESS";
constexpr char kDumpMaxVariable[] = "NETQUILL_DUMP_MAX";
constexpr char kCallsVariable[] = "NETQUILL_CALLS";
// 1: each call line shows when the call started and how long it took.
constexpr char kCallTimesVariable[] = "NETQUILL_CALL_TIMES";
// 1: each socket in a call line is followed by what it is.
constexpr char kSocketLabelsVariable[] = "NETQUILL_SOCKET_LABELS";
// The descriptor netquill-run keeps open on this process's trace file
// (Linux; the preload reads it itself).
constexpr char kHeldVariable[] = "NETQUILL_HELD_FD";
// The descriptor of netquill-run's count of lost records (Linux; the
// preload reads it itself).
constexpr char kLostVariable[] = "NETQUILL_LOST_FD";
// Where the ring of records the launcher reads lies (records_share.h): on
// Linux its descriptor, as /proc names it; on Windows the name of its
// section.
constexpr char kRecordsVariable[] = "NETQUILL_RECORDS";
constexpr char kRecordsSectionVariable[] = "NETQUILL_RECORDS_SECTION";
// 0: each process appends its own records instead of handing them to the
// launcher through the ring (on Windows: 1 hands them through it).
constexpr char kSharedRecordsVariable[] = "NETQUILL_SHARED_RECORDS";

// The calls a trace line can name, the ones every build traces and then
// those only netquill-run traces on Linux, numbered in that order: bit
// kTraced_name of a call set stands for the call.
enum TracedCall {
#define NQDROP_CALL(name, ...) kTraced_##name,
  NQ_TRACED_CALLS(NQDROP_CALL) NQ_POSIX_CALLS(NQDROP_CALL)
#undef NQDROP_CALL
      kTracedCalls
};
static_assert(kTracedCalls <= 64, "a call set is 64 bits");

constexpr uint64_t kAllCalls = ~uint64_t{0};

// The calls of netquill-run.exe's own entries (Windows Sockets 2 and the
// completions), a second set: bit kWinsock2_name. A name in both lists
// (connect) is in both sets.
enum Winsock2Call {
#define NQDROP_CALL(name, ...) kWinsock2_##name,
  NQ_WINSOCK2_CALLS(NQDROP_CALL)
#undef NQDROP_CALL
      kWinsock2Calls
};
static_assert(kWinsock2Calls <= 64, "a call set is 64 bits");

struct TraceEnv {
  bool on;                    // false for NETQUILL_TRACE=0 and refused paths
  bool path_refused;          // NETQUILL_FILE does not fit the library
  bool per_process;           // NETQUILL_PER_PROCESS=1: the path gets .PID
  bool call_times;            // NETQUILL_CALL_TIMES=1
  bool socket_labels;         // NETQUILL_SOCKET_LABELS=1
  uint32_t flags;             // NETQUILL_FLAGS, 0 when unset or unreadable
  uint32_t dump_max;          // NETQUILL_DUMP_MAX: bytes a dump shows; 0 all
  uint64_t calls;             // NETQUILL_CALLS: the calls traced, by bit
  uint64_t calls2;            //   and those of Windows Sockets 2
  char path[kTracePathSize];  // NETQUILL_FILE; empty: the default path
};

// Whether env's call set holds call: one load and a shift, cheap enough to
// ask after every call of the program.
inline bool Selected(uint64_t calls, TracedCall call) {
  return (calls >> call) & 1;
}
inline bool Selected(uint64_t calls2, Winsock2Call call) {
  return (calls2 >> call) & 1;
}

// Parses a call set as strace's -e trace= takes one: names as the trace
// writes them, separated by commas ("send,recv"), or all calls but the
// named ones after a "!" ("!select,WSAPoll"); a leading "trace=" is
// allowed. A name no trace line carries, an empty name or list is refused.
// The names of the Windows Sockets 2 set go into *calls2 when given.
bool ParseCalls(const char *text, uint64_t *calls, uint64_t *calls2 = nullptr);

// Parses one flags value: decimal, or hexadecimal after 0x. Anything else
// (empty, a sign, a stray character, more than 32 bits) is refused.
bool ParseFlags(const char *text, uint32_t *flags);

// Reads one environment variable: null when unset. The text need only stay
// valid until the next call.
using EnvReader = char *(*)(const char *name);

// The longest trace file path the library takes whole, before the ".PID"
// that a per-process trace adds to it (room for kPidDigits).
size_t PathLimit(bool per_process);

// Reads NETQUILL_FILE, NETQUILL_FLAGS, NETQUILL_TRACE,
// NETQUILL_PER_PROCESS, NETQUILL_DUMP_MAX, NETQUILL_CALLS,
// NETQUILL_CALL_TIMES and NETQUILL_SOCKET_LABELS through get
// (an unreadable dump size dumps whole, an unreadable call set traces
// every call: a typo never hides what the user looks for). A path longer than
// PathLimit is never cut, which would send the trace to another file: nothing
// is traced.
TraceEnv ReadTraceEnv(EnvReader get = getenv);

// The path of this process's trace into out (kTracePathSize bytes): env's
// path, followed by "." and pid when env asks for a file per process and
// names a file (the default file stays one). False, and out empty, when a
// pid longer than kPidDigits (Windows has them) would make it too long:
// that process is not traced rather than traced into a cut name.
bool ProcessPath(const TraceEnv &env, unsigned long pid, char *out);

}  // namespace nqdrop

#endif  // NQ_DROPIN_TRACE_ENV_H
