// netquill-run: runs a program with its socket calls traced by NETQUILL,
// without changing or rebuilding it.
//
//   netquill-run [-o FILE] [-f FLAGS] [-ff] [--] PROGRAM [ARGS...]
//   netquill-run -p PID [-p PID...] [-o FILE] [-f FLAGS] [-ff]
//
// The program is run with the interposer preloaded (LD_PRELOAD) and
// the settings in its environment, so its children inherit both and append
// to the same file (or, with -ff, each to a file of its own). The launcher
// stands between the user and every traced program's start: it links
// against the C library only, sets the environment, starts the program as
// its child and waits for it, to say at the end how many records could not
// be written, as strace reports its own failures.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "attach.h"
#include "held_open.h"
#include "launcher_core.h"
#include "program_check.h"
#include "record_reader.h"
#include "static_tls.h"
#include "supervise.h"
#include "syscall_path.h"

#ifndef NQ_PRELOAD_NAME
#error "NQ_PRELOAD_NAME names the interposer"
#endif
#ifndef NQ_PRELOAD_FROM_BIN
#error "NQ_PRELOAD_FROM_BIN is the installed interposer's path from bin"
#endif
#ifndef NQ_PRELOAD_FROM_BUILD
#error "NQ_PRELOAD_FROM_BUILD comes from the build"
#endif

namespace nqrun {
namespace {

void Say(const nqdrop::Refusal &refusal) {
  fprintf(stderr, "netquill-run: %s%s%s\n", refusal.text[0], refusal.text[1],
          refusal.text[2]);
  if (refusal.with_usage) fputs(nqdrop::kUsage, stderr);
}

// dir/name into out (PATH_MAX bytes) when it fits and can be read.
bool Beside(char *out, const char *dir, size_t dir_len, const char *name) {
  int n =
      snprintf(out, PATH_MAX, "%.*s/%s", static_cast<int>(dir_len), dir, name);
  return n > 0 && n < PATH_MAX && access(out, R_OK) == 0;
}

// The interposer beside this program, else where the install or the build
// tree puts it relative to the program's directory, into out (PATH_MAX
// bytes).
bool FindPreloadFile(char *out) {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return false;
  self[n] = '\0';
  size_t dir_len = static_cast<size_t>(strrchr(self, '/') - self);
  return Beside(out, self, dir_len, NQ_PRELOAD_NAME) ||
         Beside(out, self, dir_len, NQ_PRELOAD_FROM_BIN) ||
         Beside(out, self, dir_len, NQ_PRELOAD_FROM_BUILD);
}

// The interposer, which carries the library in it: the one file the
// program preloads, into out (PATH_MAX bytes). A colon of the path's own
// becomes a blank, which the caller refuses with the blanks: LD_PRELOAD
// would split the path there.
bool FindPreload(char *out) {
  if (!FindPreloadFile(out)) return false;
  for (char *c = out; *c != '\0'; ++c)
    if (*c == ':') *c = ' ';
  return true;
}

// Children may change directory before they trace: the path is made
// absolute here, once, into out (PATH_MAX bytes, cut to fit).
void Absolute(const char *path, char *out) {
  size_t at = 0;
  if (path[0] != '/' && getcwd(out, PATH_MAX - 1) != nullptr) {
    at = strlen(out);
    out[at++] = '/';
  }
  size_t n = strnlen(path, PATH_MAX - 1 - at);
  memcpy(out + at, path, n);
  out[at + n] = '\0';
}

// The trace file of the program, opened in the child this process starts,
// before its exec (with -ff the file's name is the child's process id),
// and left open across the exec at a number the program is unlikely to
// use, named to the preload in the environment: records reach it through
// this descriptor even after the program gives up the rights to open it
// (a change of user, group or root directory). A file that is not a
// regular one is not held; nor is anything when the trace is off.
const char *g_trace_path;  // absolute, or null for the default file
bool g_per_process;

void HoldTraceFile() {
  unsetenv(nqdrop::kHeldVariable);  // never one of an outer launcher's
  const char *path = g_trace_path;
  if (path == nullptr) return;
  const char *trace = getenv(nqdrop::kTraceVariable);
  nqdrop::TraceEnv env = {};
  env.per_process = g_per_process;
  memcpy(env.path, path, strlen(path) + 1);  // CheckTracePath kept it short
  char own[nqdrop::kTracePathSize];
  if ((trace != nullptr && strcmp(trace, "0") == 0) ||
      !nqdrop::ProcessPath(env, static_cast<unsigned long>(getpid()), own)) {
    return;
  }
  int high = OpenHeldFile(own, false);
  if (high < 0) return;
  char number[16];
  snprintf(number, sizeof number, "%d", high);
  setenv(nqdrop::kHeldVariable, number, 1);
}

// The options up to the program's name (its index into program_at),
// settled with the environment, and the trace file made absolute into path
// (PATH_MAX bytes) when one is given. -1 to go on, else the exit code, the
// usage or the refusal said.
int ReadOptions(int argc, char **argv, nqdrop::RunOptions *options,
                int *program_at, char *path) {
  nqdrop::OptionReader reader(true, true);
  int i = 1;
  for (; i < argc; ++i) {
    nqdrop::OptionReader::Step step = reader.Take(argv[i]);
    if (step == nqdrop::OptionReader::kProgram) break;
    if (step == nqdrop::OptionReader::kHelp) {
      fputs(nqdrop::kUsage, stdout);
      return 0;
    }
    if (step == nqdrop::OptionReader::kRefused) {
      Say(reader.refusal());
      return reader.refusal().exit_code;
    }
  }
  *options = reader.options();
  *program_at = i;
  nqdrop::Refusal refusal = i < argc ? nqdrop::Refusal{} : reader.End();
  if (refusal.exit_code == 0) refusal = nqdrop::Settle(options, getenv);
  // A path the library would cut would send the trace into another file
  // (the user's own, perhaps): refused, and nothing runs.
  if (refusal.exit_code == 0 && options->file != nullptr) {
    Absolute(options->file, path);  // cut at PATH_MAX, it is refused below
    refusal = nqdrop::CheckTracePath(path, options->per_process);
  }
  if (refusal.exit_code != 0) {
    Say(refusal);
    return refusal.exit_code;
  }
  return -1;
}

// The interposer for a running process, into preload (PATH_MAX bytes): by
// the name its map will show once the process loads it.
bool FindPreloadToAttach(char *preload) {
  char found[PATH_MAX];
  if (FindPreloadFile(found) && realpath(found, preload) != nullptr)
    return true;
  fprintf(stderr, "netquill-run: cannot find %s\n", NQ_PRELOAD_NAME);
  return false;
}

// The interposer for a program to start, into preload (PATH_MAX bytes).
bool FindPreloadToStart(char *preload) {
  if (!FindPreload(preload)) {
    fprintf(stderr, "netquill-run: cannot find %s\n", NQ_PRELOAD_NAME);
    return false;
  }
  // LD_PRELOAD splits its list at blanks and colons: a path with one would
  // preload nothing and make the loader complain on the program's standard
  // error. Said before anything runs.
  if (strpbrk(preload, " \t") != nullptr) {
    fprintf(stderr,
            "netquill-run: %s lies under a path with a blank or a colon, "
            "which LD_PRELOAD cannot name; install NETQUILL under a path "
            "without them\n",
            NQ_PRELOAD_NAME);
    return false;
  }
  return true;
}

// The options as the environment the program and its children inherit.
void ExportOptions(const nqdrop::RunOptions &options, const char *path) {
  if (options.file != nullptr) {
    setenv(nqdrop::kFileVariable, path, 1);
    g_trace_path = path;
  }
  g_per_process = options.per_process;
  if (options.flags != nullptr)
    setenv(nqdrop::kFlagsVariable, options.flags, 1);
  if (options.dump_max != nullptr)
    setenv(nqdrop::kDumpMaxVariable, options.dump_max, 1);
  if (options.calls != nullptr)
    setenv(nqdrop::kCallsVariable, options.calls, 1);
  if (options.split_asked) setenv(nqdrop::kPerProcessVariable, "1", 1);
  if (options.call_times) setenv(nqdrop::kCallTimesVariable, "1", 1);
  if (options.socket_labels) setenv(nqdrop::kSocketLabelsVariable, "1", 1);
}

// Ahead of whatever the caller preloads, so the program's calls reach this
// interposer first. False when there is no memory for the joined list.
bool PreloadFirst(const char *preload) {
  const char *others = getenv("LD_PRELOAD");
  if (others == nullptr || others[0] == '\0') {
    setenv("LD_PRELOAD", preload, 1);
    return true;
  }
  char *both =
      static_cast<char *>(malloc(strlen(preload) + strlen(others) + 2));
  if (both == nullptr) return false;
  sprintf(both, "%s:%s", preload, others);
  setenv("LD_PRELOAD", both, 1);
  free(both);
  return true;
}

// Tells the user, before it starts, why the program at path (named so on
// the command line) will not be traced, or what of it cannot be.
void WarnUntraced(const char *name, const char *path) {
  const char *why = WhyUntraced(path);
  const char *tls = why == nullptr ? StaticTlsLibrary(path) : nullptr;
  if (why != nullptr)
    fprintf(stderr, "netquill-run: %s %s; it runs untraced\n", name, why);
  if (tls != nullptr)
    fprintf(stderr,
            "netquill-run: %s carries %s in its own file: its TLS "
            "plaintext cannot be traced, only the sockets' ciphertext\n",
            name, tls);
}

// Starts the program (program is null when the search of PATH found
// nothing: execvp then says why) and ends as it ends.
[[noreturn]] void StartProgram(const char *program, char **argv) {
  // With tracing off nothing can be lost: the program takes this process's
  // place, and starts as fast as it does alone.
  const char *trace = getenv(nqdrop::kTraceVariable);
  if (trace != nullptr && strcmp(trace, "0") == 0) {
    unsetenv(nqdrop::kHeldVariable);
    unsetenv(nqdrop::kLostVariable);
    ExecProgram(program, argv);
  }
  const bool shared =
      SharedRecordsAsked() && StartRecordReader(g_trace_path, g_per_process);
  NQP_LostRecords *lost = shared ? RecordsLostCount() : ShareLostCount();
  // Records of a daemon the program leaves go through the ring too: the
  // launcher stays until the last traced process has ended.
  if (shared) AdoptOrphans();
  int status = RunChild(program, argv, HoldTraceFile);
  if (shared) {
    WaitForOrphans();
    StopRecordReader();
  }
  SayLost(lost, g_trace_path, g_per_process);
  EndAs(status);
}

// Whether the program runs on the system-call path: as -m says, else when
// the interposer cannot see its calls (a Go or statically linked program)
// and the program gains no rights at its start, which a traced one would
// not get: that one runs untraced, said.
bool OnSyscalls(const nqdrop::RunOptions &options, const char *program) {
  if (options.path != nullptr) return strcmp(options.path, "syscalls") == 0;
  if (program == nullptr || WhySyscallPath(program) == nullptr) return false;
  const char *why = WhyUntraced(program);
  return why == nullptr || strncmp(why, "is statically", 13) == 0;
}

// Whether -p attaches on the system-call path: as -m says, else when one
// of the processes runs a program whose calls the interposer cannot see.
bool AttachesOnSyscalls(const nqdrop::RunOptions &options) {
  if (options.path != nullptr) return strcmp(options.path, "syscalls") == 0;
  for (int i = 0; i < options.attach_count; ++i) {
    char exe[64];
    snprintf(exe, sizeof exe, "/proc/%lu/exe", options.attach[i]);
    if (WhySyscallPath(exe) != nullptr) return true;
  }
  return false;
}

// The descriptor of the lost-record count ShareLostCount made (lost), which
// the launcher counts into itself on the system-call path; -1 for none.
int LostCountDescriptor(const NQP_LostRecords *lost) {
  const char *named = getenv(nqdrop::kLostVariable);
  return lost != nullptr && named != nullptr ? atoi(named) : -1;
}

// Starts the program on the system-call path and ends as it ends.
[[noreturn]] void StartOnSyscalls(const char *program, char **argv) {
  const char *trace = getenv(nqdrop::kTraceVariable);
  if (trace != nullptr && strcmp(trace, "0") == 0) ExecProgram(program, argv);
  unsetenv(nqdrop::kHeldVariable);
  NQP_LostRecords *lost = ShareLostCount();
  int status = RunOnSyscalls(program, argv, nqdrop::ReadTraceEnv(getenv),
                             LostCountDescriptor(lost));
  SayLost(lost, g_trace_path, g_per_process);
  EndAs(status);
}

// netquill-run -p on the system-call path; its exit code.
int AttachOnSyscallsAsAsked(const nqdrop::RunOptions &options,
                            const char *path) {
  ExportOptions(options, path);
  pid_t pids[nqdrop::kMaxAttach];
  for (int i = 0; i < options.attach_count; ++i)
    pids[i] = static_cast<pid_t>(options.attach[i]);
  NQP_LostRecords *lost = ShareLostCount();
  int code =
      AttachOnSyscalls(pids, options.attach_count, nqdrop::ReadTraceEnv(getenv),
                       LostCountDescriptor(lost));
  SayLost(lost, g_trace_path, g_per_process);
  return code;
}

int Run(int argc, char **argv) {
  nqdrop::RunOptions options = {};
  int program_at = argc;
  char path[PATH_MAX];
  int exit_code = ReadOptions(argc, argv, &options, &program_at, path);
  if (exit_code >= 0) return exit_code;
  char preload[PATH_MAX];
  if (options.attach_count > 0 && AttachesOnSyscalls(options))
    return AttachOnSyscallsAsAsked(options, path);
  if (options.attach_count > 0) {
    if (!FindPreloadToAttach(preload)) return 127;
    return RunAttached(options, path, preload);
  }
  // The search of PATH is made once; execvp repeats it only for what
  // execv cannot start itself (a script without its #! line).
  char program[PATH_MAX];
  bool found = FindProgram(argv[program_at], program);
  if (OnSyscalls(options, found ? program : nullptr)) {
    ExportOptions(options, path);
    StartOnSyscalls(found ? program : nullptr, argv + program_at);
  }
  if (!FindPreloadToStart(preload)) return 127;
  ExportOptions(options, path);
  if (!PreloadFirst(preload)) return 126;
  // Run all the same: the user sees the program's own behaviour, untraced.
  if (found) WarnUntraced(argv[program_at], program);
  const char *own_calls = found ? WhySyscallPath(program) : nullptr;
  if (own_calls != nullptr && strcmp(own_calls, "is a Go program") == 0)
    fprintf(stderr,
            "netquill-run: %s %s: the calls it makes itself, past the C "
            "library, are not traced on the preload path\n",
            argv[program_at], own_calls);
  StartProgram(found ? program : nullptr, argv + program_at);
}

}  // namespace
}  // namespace nqrun

int main(int argc, char **argv) { return nqrun::Run(argc, argv); }
