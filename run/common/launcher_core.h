// What both netquill-run launchers decide alike: their options, the
// settings they hand the program in the environment, and the trace file
// paths they refuse. Plain C++ over the C library's string functions: the
// Linux launcher is static without the C++ runtime, the Windows one has no
// C run-time start-up.
#ifndef NQ_DROPIN_LAUNCHER_CORE_H
#define NQ_DROPIN_LAUNCHER_CORE_H

#include "trace_env.h"

namespace nqdrop {

// The help text, for -h on standard output and after a usage error on
// standard error.
extern const char kUsage[];

// Why a launcher stops before it starts the program: the message for
// standard error (its parts joined, "netquill-run: " first) and the exit
// code. exit_code 0 is no refusal.
struct Refusal {
  int exit_code;        // 2 for every usage error
  bool with_usage;      // the usage follows the message
  const char *text[3];  // the middle part is the user's own text, or ""
};

// The most processes one launcher attaches to (-p given that often).
constexpr int kMaxAttach = 16;

struct RunOptions {
  const char *file;      // -o FILE, else a non-empty inherited NETQUILL_FILE
  const char *flags;     // -f FLAGS, or null
  const char *dump_max;  // -s N, or null
  const char *calls;     // -e CALLS, or null
  const char *path;      // -m preload or -m syscalls, or null: chosen
  bool per_process;      // -ff, or NETQUILL_PER_PROCESS=1 inherited
  bool split_asked;      // -ff itself: NETQUILL_PER_PROCESS=1 is to be set
  bool call_times;       // -T: NETQUILL_CALL_TIMES=1
  bool socket_labels;    // -y: NETQUILL_SOCKET_LABELS=1
  int attach_count;      // -p given this often: running processes, no program
  unsigned long attach[kMaxAttach];  // their process ids, in order
};

// Reads the launcher's arguments one at a time, in the order given (the
// launcher's own name left out), up to the program's name. Flags that are
// not a number and an empty -o are refused as they come. -p PID is taken
// only by a launcher that can attach to a running process; another refuses
// it as not supported yet, and so is -m by a launcher that has one path.
class OptionReader {
 public:
  explicit OptionReader(bool can_attach = false, bool has_paths = false)
      : can_attach_(can_attach), has_paths_(has_paths) {}

  enum Step {
    kOption,   // taken; give the next argument
    kProgram,  // this argument is the program's name: the options end
    kHelp,     // -h or --help: the usage on standard output, exit 0
    kRefused,  // refusal() says why
  };

  Step Take(const char *arg);
  // When the arguments end before a program's name: no refusal (exit code
  // 0) only after -p, when there is no program to run.
  Refusal End() const;

  const RunOptions &options() const { return options_; }
  const Refusal &refusal() const { return refusal_; }

 private:
  Step TakePid(const char *arg);    // the argument after -p
  Step TakeValue(const char *arg);  // the argument after -o, -f, -s, -e or -m
  Step TakeOption(const char *arg);
  Step Refused(const Refusal &why) {
    refusal_ = why;
    return kRefused;
  }

  RunOptions options_ = {};
  Refusal refusal_ = {};
  const char **value_ = nullptr;  // where the value of -o or -f goes
  const char *value_of_ = nullptr;
  bool program_next_ = false;  // after "--"
  bool can_attach_;
  bool has_paths_;
  bool pid_next_ = false;  // the argument after -p
};

// Completes the options with what the program will inherit, read through
// get, and refuses -ff without a file to split (the default file is shared
// by every user of the temporary directory).
Refusal Settle(RunOptions *options, EnvReader get);

// The trace file made absolute: refused when the library would cut it,
// with ".PID" when each process has its own file.
Refusal CheckTracePath(const char *absolute, bool per_process);

// The launcher's line, once the program has ended, on the records its
// processes could not write (count of them) to trace (null: the default
// file), into out: empty when none were lost. Cut to size bytes.
void LostRecordsReport(unsigned long long count, const char *trace,
                       bool per_process, char *out, size_t size);

}  // namespace nqdrop

#endif  // NQ_DROPIN_LAUNCHER_CORE_H
