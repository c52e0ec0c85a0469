// The options and settings both netquill-run launchers share.
#include "launcher_core.h"

#include <string.h>

#include "decimal_text.h"

namespace nqdrop {

const char kUsage[] =
    "usage: netquill-run [-o FILE] [-f FLAGS] [-ff] [-s N] [-e CALLS] [-T]\n"
    "                    [-y] [--] PROGRAM [ARGS...]\n"
    "       netquill-run -p PID [-p PID...] [-o FILE] [-f FLAGS] [-ff]\n"
    "                    [-s N] [-e CALLS] [-T] [-y]\n"
    "  -o FILE   trace file (default: NETQUILL_FILE, else NQSPOOL.LOG\n"
    "            in the temporary directory)\n"
    "  -f FLAGS  trace flags, decimal or 0x hex: 1 errors only,\n"
    "            2 errors and warnings, 4 hex dumps of the data\n"
    "  -ff       one file per process: FILE followed by .PID\n"
    "  -s N      dump at most N bytes of each call (0: all)\n"
    "  -e CALLS  trace only these calls, as the trace names them\n"
    "            (send,recv), or all but them (!select,WSAPoll)\n"
    "  -T        each call's start to the microsecond, and the time it\n"
    "            took at the end of its line: <0.000123>\n"
    "  -y        each socket's protocol and addresses after its number:\n"
    "            7<TCP:[127.0.0.1:40512->127.0.0.1:8080]>\n"
    "  -p PID    trace the running process PID until Ctrl-C, SIGTERM or\n"
    "            its end, then leave it running untraced\n"
    "  -m PATH   (Linux) how calls are seen: preload, through the C\n"
    "            library; syscalls, at the system calls (Go and static\n"
    "            programs get it by themselves)\n";

namespace {

Refusal Refuse(const char *before, const char *subject = "",
               const char *after = "", bool with_usage = false) {
  return Refusal{2, with_usage, {before, subject, after}};
}

bool Is(const char *arg, const char *option) {
  return strcmp(arg, option) == 0;
}

// A process id: decimal digits only, neither 0 nor past 32 bits.
bool ParsePid(const char *text, unsigned long *pid) {
  unsigned long value = 0;
  for (const char *c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9' || c - text >= 10) return false;
    value = value * 10 + static_cast<unsigned long>(*c - '0');
  }
  *pid = value;
  return text[0] != '\0' && value != 0 && value <= 0xFFFFFFFFul;
}

}  // namespace

OptionReader::Step OptionReader::Take(const char *arg) {
  if (pid_next_) return TakePid(arg);
  if (value_ != nullptr) return TakeValue(arg);
  // A running process and a program to start are two ways of working.
  if (options_.attach_count > 0 &&
      (program_next_ || arg[0] != '-' || Is(arg, "-") || Is(arg, "--")))
    return Refused(
        Refuse("-p and a program to run exclude each other", "", "", true));
  if (program_next_) return kProgram;
  return TakeOption(arg);
}

OptionReader::Step OptionReader::TakePid(const char *arg) {
  pid_next_ = false;
  unsigned long pid;
  if (!ParsePid(arg, &pid)) return Refused(Refuse("bad process id ", arg));
  if (options_.attach_count == kMaxAttach)
    return Refused(Refuse("-p is taken at most 16 times"));
  options_.attach[options_.attach_count++] = pid;
  return kOption;
}

OptionReader::Step OptionReader::TakeValue(const char *arg) {
  *value_ = arg;
  value_ = nullptr;
  // Refused where it stands: "-f PROGRAM", strace's follow-forks habit,
  // reads best as bad flags, not as whatever follows the program.
  uint32_t ignored;
  uint64_t no_calls;
  if (value_of_[1] == 'f' && !ParseFlags(arg, &ignored))
    return Refused(Refuse("bad flags ", arg, " (decimal or 0x hex)"));
  if (value_of_[1] == 's' && !ParseFlags(arg, &ignored))
    return Refused(Refuse("bad dump size ", arg, " (decimal or 0x hex)"));
  if (value_of_[1] == 'e' && !ParseCalls(arg, &no_calls))
    return Refused(Refuse("bad call list ", arg,
                          " (names as the trace writes them, comma-separated, "
                          "! first for all but them)"));
  if (value_of_[1] == 'm' && !Is(arg, "preload") && !Is(arg, "syscalls"))
    return Refused(Refuse("bad path ", arg, " (preload or syscalls)"));
  if (value_of_[1] == 'o' && arg[0] == '\0')
    return Refused(Refuse("-o needs a file name"));
  return kOption;
}

OptionReader::Step OptionReader::TakeOption(const char *arg) {
  if (Is(arg, "-p")) {
    if (!can_attach_)
      return Refused(Refuse("-p is not supported yet by this netquill-run"));
    pid_next_ = true;
    return kOption;
  }
  if (Is(arg, "--")) {
    program_next_ = true;
    return kOption;
  }
  if (Is(arg, "-h") || Is(arg, "--help")) return kHelp;
  if (Is(arg, "-ff")) {
    options_.per_process = options_.split_asked = true;
    return kOption;
  }
  if (Is(arg, "-T") || Is(arg, "-y")) {
    (arg[1] == 'T' ? options_.call_times : options_.socket_labels) = true;
    return kOption;
  }
  const char **value = Is(arg, "-o")   ? &options_.file
                       : Is(arg, "-f") ? &options_.flags
                       : Is(arg, "-s") ? &options_.dump_max
                       : Is(arg, "-e") ? &options_.calls
                       : Is(arg, "-m") ? &options_.path
                                       : nullptr;
  if (value == &options_.path && !has_paths_)
    return Refused(Refuse("-m is not supported by this netquill-run"));
  if (value != nullptr) {
    value_ = value;
    value_of_ = arg;
    return kOption;
  }
  // A lone "-" is a name like any other.
  if (arg[0] == '-' && arg[1] != '\0')
    return Refused(Refuse("unknown option ", arg, "", true));
  return kProgram;
}

Refusal OptionReader::End() const {
  if (pid_next_) return Refuse("", "-p", " needs a process id", true);
  if (value_ != nullptr) {
    const char *needs = value_ == &options_.file       ? " needs a file name"
                        : value_ == &options_.flags    ? " needs the flags"
                        : value_ == &options_.dump_max ? " needs a byte count"
                        : value_ == &options_.path     ? " needs a path"
                                                       : " needs the calls";
    return Refuse("", value_of_, needs, true);
  }
  if (options_.attach_count > 0) return Refusal{};
  return Refuse("no program to run", "", "", true);
}

Refusal Settle(RunOptions *options, EnvReader get) {
  const char *split = get(kPerProcessVariable);
  if (split != nullptr && Is(split, "1")) options->per_process = true;
  // Read last: the reader's text need stay valid only until its next call.
  if (options->file == nullptr) {
    const char *inherited = get(kFileVariable);
    if (inherited != nullptr && inherited[0] != '\0') options->file = inherited;
  }
  // The default file stays one file: a name per process in the shared
  // temporary directory is one that another user could have made first.
  if (options->split_asked && options->file == nullptr)
    return Refuse("-ff needs -o FILE or NETQUILL_FILE");
  return Refusal{};
}

Refusal CheckTracePath(const char *absolute, bool per_process) {
  static_assert(kTracePathSize == 256 && kPidDigits == 7,
                "the limits below are spelled out");
  if (strlen(absolute) <= PathLimit(per_process)) return Refusal{};
  return Refuse("the trace file path ", absolute,
                per_process ? " is too long: the library takes 247 characters "
                              "before .PID"
                            : " is too long: the library takes 255 characters");
}

void LostRecordsReport(unsigned long long count, const char *trace,
                       bool per_process, char *out, size_t size) {
  if (size == 0) return;
  out[0] = '\0';
  if (count == 0) return;
  char number[kMostDecimalDigits + 1];
  number[DecimalText(count, number)] = '\0';
  const bool one = count == 1;
  const char *parts[] = {"netquill-run: ",
                         number,
                         one ? " trace record" : " trace records",
                         " could not be written to ",
                         trace != nullptr ? trace : "the default trace file",
                         trace != nullptr && per_process ? ".PID files" : "",
                         "\n"};
  size_t used = 0;
  for (const char *part : parts)
    for (; *part != '\0' && used + 1 < size; ++part) out[used++] = *part;
  out[used] = '\0';
}

}  // namespace nqdrop
