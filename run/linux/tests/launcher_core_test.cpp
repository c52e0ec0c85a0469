// The options, settings and refusals both netquill-run launchers share:
// argument vectors and inherited variables in, what the launcher sets or
// says out.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "launcher_core.h"

namespace {

struct Var {
  const char *name;
  const char *value;
};

const std::vector<Var> *g_vars;

char *FakeEnv(const char *name) {
  for (const Var &v : *g_vars)
    if (strcmp(v.name, name) == 0) return const_cast<char *>(v.value);
  return nullptr;
}

// What a launcher does with args: "run PROGRAM-INDEX file|flags|split" on
// success (the split as "-ff" asked, "inherited" for NETQUILL_PER_PROCESS
// alone), "attach PID,PID... file|flags|split" after -p; then " s=N" and
// " e=CALLS" for -s and -e, " m=PATH" for -m), else the exit code and what it
// says after "netquill-run: ".
std::string Launch(std::vector<const char *> args, std::vector<Var> vars,
                   bool can_attach = true) {
  g_vars = &vars;
  nqdrop::OptionReader reader(can_attach, can_attach);
  size_t i = 0;
  nqdrop::Refusal refusal = {};
  for (; i < args.size(); ++i) {
    auto step = reader.Take(args[i]);
    if (step == nqdrop::OptionReader::kProgram) break;
    if (step == nqdrop::OptionReader::kHelp) return "help";
    if (step == nqdrop::OptionReader::kRefused) {
      refusal = reader.refusal();
      break;
    }
  }
  nqdrop::RunOptions options = reader.options();
  if (refusal.exit_code == 0 && i == args.size()) refusal = reader.End();
  if (refusal.exit_code == 0) refusal = nqdrop::Settle(&options, FakeEnv);
  if (refusal.exit_code == 0 && options.file != nullptr)
    refusal = nqdrop::CheckTracePath(options.file, options.per_process);
  if (refusal.exit_code != 0) {
    return std::to_string(refusal.exit_code) + " " + refusal.text[0] +
           refusal.text[1] + refusal.text[2] +
           (refusal.with_usage ? " +usage" : "");
  }
  std::string head = "run " + std::to_string(i);
  for (int p = 0; p < options.attach_count; ++p)
    head =
        (p == 0 ? "attach " : head + ",") + std::to_string(options.attach[p]);
  return head + " " + (options.file ? options.file : "-") + "|" +
         (options.flags ? options.flags : "-") + "|" +
         (options.split_asked   ? "ff"
          : options.per_process ? "inherited"
                                : "-") +
         (options.dump_max ? std::string(" s=") + options.dump_max : "") +
         (options.calls ? std::string(" e=") + options.calls : "") +
         (options.path ? std::string(" m=") + options.path : "") +
         (options.call_times ? " T" : "") + (options.socket_labels ? " y" : "");
}

TEST(LauncherCore, EachArgumentVector) {
  const std::string at255 = "/" + std::string(254, 'p'), at256 = at255 + "p";
  const std::string at247 = at255.substr(0, 247), at248 = at247 + "p";
  const std::string
      cut = "2 the trace file path ",
      cut255 = " is too long: the library takes 255 characters",
      cut247 = " is too long: the library takes 247 characters before .PID";
  const Var file = {"NETQUILL_FILE", "/t/env.log"};
  const Var split = {"NETQUILL_PER_PROCESS", "1"};
  struct {
    std::vector<const char *> args;
    std::vector<Var> vars;
    std::string want;
  } cases[] = {
      {{"app"}, {}, "run 0 -|-|-"},
      {{"-o", "/t/a.log", "-f", "0x4", "app", "-o", "x"},
       {},
       "run 4 /t/a.log|0x4|-"},
      {{"-ff", "-o", "/t/a.log", "-ff", "app"}, {}, "run 4 /t/a.log|-|ff"},
      {{"-T", "-y", "app", "-T"}, {}, "run 2 -|-|- T y"},
      {{"-y", "--", "-T"}, {}, "run 2 -|-|- y"},
      {{"--", "-o", "x"}, {}, "run 1 -|-|-"},
      {{"-", "x"}, {}, "run 0 -|-|-"},
      {{"-o", "-ff", "app"}, {}, "run 2 -ff|-|-"},
      {{"-o", "/t/a.log", "--help", "app"}, {}, "help"},
      {{"-ofile", "app"}, {}, "2 unknown option -ofile +usage"},
      {{}, {}, "2 no program to run +usage"},
      {{"-o"}, {}, "2 -o needs a file name +usage"},
      {{"-f"}, {}, "2 -f needs the flags +usage"},
      {{"-f", "12x", "app"}, {}, "2 bad flags 12x (decimal or 0x hex)"},
      {{"-f", "curl", "-s", "x"}, {}, "2 bad flags curl (decimal or 0x hex)"},
      {{"-o", "", "app"}, {file}, "2 -o needs a file name"},
      // strace's -s and -e: checked here, handed on as written.
      {{"-s", "64", "-e", "!select,WSAAsyncSelect", "app", "-s", "x"},
       {},
       "run 4 -|-|- s=64 e=!select,WSAAsyncSelect"},
      {{"-e", "trace=send", "-s", "0x10", "app"},
       {},
       "run 4 -|-|- s=0x10 e=trace=send"},
      {{"-s", "64k", "app"}, {}, "2 bad dump size 64k (decimal or 0x hex)"},
      {{"-e", "send,poll", "app"},
       {},
       "2 bad call list send,poll (names as the trace writes them, "
       "comma-separated, ! first for all but them)"},
      {{"-m", "syscalls", "app"}, {}, "run 2 -|-|- m=syscalls"},
      {{"-m", "ptrace", "app"}, {}, "2 bad path ptrace (preload or syscalls)"},
      {{"-m"}, {}, "2 -m needs a path +usage"},
      {{"-s"}, {}, "2 -s needs a byte count +usage"},
      {{"-e"}, {}, "2 -e needs the calls +usage"},
      // The inherited settings: -o wins, an empty file is none, and -ff
      // needs a file of the user's to split.
      {{"-o", "/t/a.log", "app"}, {file}, "run 2 /t/a.log|-|-"},
      {{"app"}, {file}, "run 0 /t/env.log|-|-"},
      {{"app"}, {{"NETQUILL_FILE", ""}}, "run 0 -|-|-"},
      {{"-ff", "app"},
       {{"NETQUILL_FILE", ""}},
       "2 -ff needs -o FILE or NETQUILL_FILE"},
      {{"-ff", "app"}, {file}, "run 1 /t/env.log|-|ff"},
      {{"app"}, {file, split}, "run 0 /t/env.log|-|inherited"},
      {{"app"}, {split}, "run 0 -|-|inherited"},
      // Paths the library would cut, .PID included when it is added.
      {{"-o", at255.c_str(), "app"}, {}, "run 2 " + at255 + "|-|-"},
      {{"-o", at256.c_str(), "app"}, {}, cut + at256 + cut255},
      {{"-ff", "-o", at247.c_str(), "app"}, {}, "run 3 " + at247 + "|-|ff"},
      {{"-ff", "-o", at248.c_str(), "app"}, {}, cut + at248 + cut247},
      {{"app"},
       {{"NETQUILL_FILE", at248.c_str()}, split},
       cut + at248 + cut247},
  };
  for (const auto &c : cases) {
    std::string args;
    for (const char *a : c.args) args += std::string(" '") + a + "'";
    EXPECT_EQ(Launch(c.args, c.vars), c.want) << args;
  }
}

TEST(LauncherCore, RunningProcesses) {
  const Var file = {"NETQUILL_FILE", "/t/env.log"};
  const std::string sixteen_more = "2 -p is taken at most 16 times";
  std::vector<const char *> seventeen;
  for (int n = 0; n < 17; ++n) {
    seventeen.push_back("-p");
    seventeen.push_back("7");
  }
  struct {
    std::vector<const char *> args;
    std::vector<Var> vars;
    std::string want;
  } cases[] = {
      {{"-p", "42"}, {}, "attach 42 -|-|-"},
      {{"-o", "/t/a.log", "-p", "42", "-f", "4", "-p", "4294967295", "-ff"},
       {},
       "attach 42,4294967295 /t/a.log|4|ff"},
      {{"-p", "42"}, {file}, "attach 42 /t/env.log|-|-"},
      {{"-p", "42", "-ff"}, {}, "2 -ff needs -o FILE or NETQUILL_FILE"},
      {{"-p"}, {}, "2 -p needs a process id +usage"},
      {{"-p", "0"}, {}, "2 bad process id 0"},
      {{"-p", "-3"}, {}, "2 bad process id -3"},
      {{"-p", "12a"}, {}, "2 bad process id 12a"},
      {{"-p", "4294967296"}, {}, "2 bad process id 4294967296"},
      {{"-p", ""}, {}, "2 bad process id "},
      {{"-p", "42", "app"},
       {},
       "2 -p and a program to run exclude each other +usage"},
      {{"-p", "42", "--", "app"},
       {},
       "2 -p and a program to run exclude each other +usage"},
      {seventeen, {}, sixteen_more},
  };
  for (const auto &c : cases) {
    std::string args;
    for (const char *a : c.args) args += std::string(" '") + a + "'";
    EXPECT_EQ(Launch(c.args, c.vars), c.want) << args;
  }
  // A launcher that cannot attach yet says so; its program runs as before.
  EXPECT_EQ(Launch({"-p", "42"}, {}, false),
            "2 -p is not supported yet by this netquill-run");
  EXPECT_EQ(Launch({"app"}, {}, false), "run 0 -|-|-");
  EXPECT_EQ(Launch({"-m", "preload", "app"}, {}, false),
            "2 -m is not supported by this netquill-run");
}

TEST(ProcessPath, AddsThePidWholeOrTracesNothing) {
  const std::string at244(244, 'p');
  const std::string at247(247, 'p');
  struct {
    std::string path;
    bool per_process;
    unsigned long pid;
    bool traced;
    std::string want;
  } cases[] = {
      {"/t/a.log", true, 1234, true, "/t/a.log.1234"},
      {"/t/a.log", false, 1234, true, "/t/a.log"},
      {"/t/a.log", true, 0, true, "/t/a.log.0"},
      {"", true, 1234, true, ""},  // the default file stays one
      {at247, true, 9999999, true, at247 + ".9999999"},
      {at244, true, 4294967292ul, true, at244 + ".4294967292"},
      {at247, true, 4294967292ul, false, ""},
  };
  for (const auto &c : cases) {
    nqdrop::TraceEnv env = {};
    env.per_process = c.per_process;
    memcpy(env.path, c.path.c_str(), c.path.size() + 1);
    char out[nqdrop::kTracePathSize];
    EXPECT_EQ(nqdrop::ProcessPath(env, c.pid, out), c.traced) << c.want;
    EXPECT_EQ(std::string(out), c.want);
  }
}

// Both launchers' line on lost records, word for word as users grep it.
TEST(LauncherCore, LostRecordsReport) {
  const struct {
    unsigned long long count;
    const char *trace;
    bool per_process;
    size_t size;
    const char *want;
  } cases[] = {
      {0, "/t/a.log", false, 200, ""},
      {1, "/t/a.log", false, 200,
       "netquill-run: 1 trace record could not be written to /t/a.log\n"},
      {10, "/t/a.log", true, 200,
       "netquill-run: 10 trace records could not be written to "
       "/t/a.log.PID files\n"},
      {18446744073709551615ull, nullptr, true, 200,
       "netquill-run: 18446744073709551615 trace records could not be "
       "written to the default trace file\n"},
      {2, "/t/a.log", false, 20, "netquill-run: 2 tra"},  // cut to its room
  };
  for (const auto &c : cases) {
    char out[200];
    memset(out, 'x', sizeof out);
    nqdrop::LostRecordsReport(c.count, c.trace, c.per_process, out, c.size);
    EXPECT_EQ(std::string(out), c.want) << c.count;
  }
}

}  // namespace
