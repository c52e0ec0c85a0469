// The system-call path: programs that make their socket system calls
// without the C library (Go programs, statically linked ones) are traced
// by the launcher itself, as their tracer. A seccomp filter stops them only
// at the socket-related system calls; the launcher reads each call's
// arguments there, lets it run to its exit and writes its record there.
#ifndef NQ_RUN_LINUX_LAUNCHER_SYSCALL_PATH_H
#define NQ_RUN_LINUX_LAUNCHER_SYSCALL_PATH_H

#include <sys/types.h>

#include "trace_env.h"

namespace nqrun {

// Why the program at path needs the system-call path ("is statically
// linked", "is a Go program"), or null when the interposer sees its calls.
const char *WhySyscallPath(const char *path);

// Runs argv (program: its file as found on PATH, or null to let execvp
// search) and every process it starts on the system-call path, recording
// as env says; lost records are counted at lost_fd (-1: not counted).
// Returns the program's wait status once it and every process it started
// have ended.
int RunOnSyscalls(const char *program, char **argv, const nqdrop::TraceEnv &env,
                  int lost_fd);

// netquill-run -p on the system-call path: every thread of each process
// (count of them) is taken as a tracee and stopped at the entry and exit of
// each of its system calls, until SIGINT, SIGTERM or SIGHUP, or until the
// processes end; then left to go on untraced, as they were. Returns the
// exit code: 0, or 2 for a process that could not be taken (said).
int AttachOnSyscalls(const pid_t *pids, int count, const nqdrop::TraceEnv &env,
                     int lost_fd);

}  // namespace nqrun

#endif  // NQ_RUN_LINUX_LAUNCHER_SYSCALL_PATH_H
