// netquill-run for Windows: runs a program with its socket calls traced by
// NETQUILL, without changing or rebuilding it.
//
//   netquill-run [-o FILE] [-f FLAGS] [-ff] [--] PROGRAM [ARGS...]
//   netquill-run -p PID [-p PID...] [-o FILE] [-f FLAGS] [-ff]
//
// The program is started suspended, NQINJECT.DLL (beside this program) is
// queued to load on its main thread, and it is resumed; the settings go to it,
// and to its children, in the environment. The exit code is the program's.
// With -p, running processes are traced instead (attach.cpp).
//
// The entry point is this file's own, without the C run-time start-up: the
// command line is read as Windows gives it, and the program's part of it
// is handed on exactly as it was written.
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "attach.h"
#include "launcher_core.h"
#include "record_reader.h"
#include "remote_load.h"

namespace nqrun {
namespace {

#if defined(_WIN64)
constexpr WORD kMachine = IMAGE_FILE_MACHINE_AMD64;
constexpr const char *kOther = "32-bit";
constexpr const char *kOwn = "64-bit";
#else
constexpr WORD kMachine = IMAGE_FILE_MACHINE_I386;
constexpr const char *kOther = "64-bit";
constexpr const char *kOwn = "32-bit";
#endif

constexpr int kArgSize = 32768;

void WriteTo(DWORD handle, const char *text) {
  DWORD written;
  WriteFile(GetStdHandle(handle), text, static_cast<DWORD>(strlen(text)),
            &written, nullptr);
}

}  // namespace

void Write(const char *text) { WriteTo(STD_ERROR_HANDLE, text); }

namespace {

void WriteWide(const wchar_t *text) {
  char narrow[1024];
  int n = WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, sizeof narrow,
                              nullptr, nullptr);
  Write(n > 0 ? narrow : "?");
}

void Say(const nqdrop::Refusal &refusal) {
  Write("netquill-run: ");
  for (const char *part : refusal.text) Write(part);
  Write("\n");
  if (refusal.with_usage) Write(nqdrop::kUsage);
}

// Reads one argument as the C run time splits a command line: blanks
// between arguments, double quotes around blanks, 2n backslashes before a
// quote give n and a quoting quote, 2n+1 give n and a literal quote.
// Returns where the next argument starts, or null when none is left.
const wchar_t *NextArg(const wchar_t *p, wchar_t *out, const wchar_t **start) {
  while (*p == L' ' || *p == L'\t') ++p;
  if (*p == L'\0') return nullptr;
  *start = p;
  int n = 0;
  bool quoted = false;
  while (*p != L'\0' && (quoted || (*p != L' ' && *p != L'\t'))) {
    int slashes = 0;
    while (*p == L'\\') ++slashes, ++p;
    if (*p == L'"') {
      for (int i = 0; i < slashes / 2 && n < kArgSize - 1; ++i)
        out[n++] = L'\\';
      if (slashes % 2 == 1) {
        if (n < kArgSize - 1) out[n++] = L'"';
      } else if (quoted && p[1] == L'"') {
        if (n < kArgSize - 1) out[n++] = L'"';
        ++p;
      } else {
        quoted = !quoted;
      }
      ++p;
    } else {
      for (int i = 0; i < slashes && n < kArgSize - 1; ++i) out[n++] = L'\\';
      if (*p != L'\0' && (quoted || (*p != L' ' && *p != L'\t'))) {
        if (n < kArgSize - 1) out[n++] = *p;
        ++p;
      }
    }
  }
  out[n] = L'\0';
  return p;
}

// Ctrl+C and Ctrl+Break reach the program too; the launcher waits for it
// and returns its exit code. A handler, unlike ignoring the signals, is not
// inherited by the program.
BOOL WINAPI KeepWaiting(DWORD) { return TRUE; }

// The machine type in the program file's header, or 0 if it has none.
WORD MachineOf(const wchar_t *path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  BYTE head[4096];
  DWORD got = 0;
  BOOL read = ReadFile(file, head, sizeof head, &got, nullptr);
  CloseHandle(file);
  if (!read || got < sizeof(IMAGE_DOS_HEADER)) return 0;
  IMAGE_DOS_HEADER dos;
  memcpy(&dos, head, sizeof dos);
  if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 ||
      static_cast<DWORD>(dos.e_lfanew) + 6 > got)
    return 0;
  DWORD signature;
  WORD machine;
  memcpy(&signature, head + dos.e_lfanew, sizeof signature);
  memcpy(&machine, head + dos.e_lfanew + 4, sizeof machine);
  return signature == IMAGE_NT_SIGNATURE ? machine : 0;
}

// Whether path lies in the Windows directory or below it, where the
// injected DLL leaves every module's socket calls alone.
bool UnderWindowsDirectory(const wchar_t *path) {
  wchar_t dir[MAX_PATH];
  UINT n = GetWindowsDirectoryW(dir, MAX_PATH);
  if (n == 0 || n >= MAX_PATH - 1) return false;
  if (dir[n - 1] != L'\\') dir[n++] = L'\\';
  dir[n] = L'\0';
  // Paths compare without regard to case; the letters that differ in the
  // Windows directory's name are ASCII.
  auto fold = [](wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
  };
  for (UINT i = 0; i < n; ++i)
    if (path[i] == L'\0' || fold(path[i]) != fold(dir[i])) return false;
  return true;
}

// NQINJECT.DLL beside this program.
bool FindInjected(wchar_t *path) {
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  while (n > 0 && path[n - 1] != L'\\' && path[n - 1] != L'/') --n;
  if (n + 13 > MAX_PATH) return false;
  memcpy(path + n, L"NQINJECT.DLL", 13 * sizeof(wchar_t));
  return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

struct Options {
  nqdrop::RunOptions run;
  const wchar_t *program;  // the program's part of the command line, or null
  wchar_t name[MAX_PATH];  // its first argument, unquoted
};

// The launcher's own arguments in the system's code page, the one
// NETQUILL.DLL takes its path in; each after a byte that says whether
// characters were lost on the way.
char g_narrow[4 * kArgSize];
constexpr char kLossy = 1;

// Converts arg into g_narrow at *used: the narrow text, or null when it
// does not fit.
const char *Narrow(const wchar_t *arg, size_t *used) {
  char *out = g_narrow + *used;
  int room = static_cast<int>(sizeof g_narrow - *used) - 1;
  BOOL lost = FALSE;
  // No best fit either: U+FF41 would become an 'a', and app.log another
  // user's file.
  int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, arg, -1, out + 1,
                              room, nullptr, &lost);
  // A UTF-8 code page loses nothing and takes no question about it.
  if (n == 0)
    n = WideCharToMultiByte(CP_ACP, 0, arg, -1, out + 1, room, nullptr,
                            nullptr);
  if (n == 0) return nullptr;
  out[0] = lost ? kLossy : 0;
  *used += 1 + static_cast<size_t>(n);
  return out + 1;
}

// 0 when the options are read, -1 for the help, else the exit code.
int ReadOptions(Options *options) {
  static wchar_t arg[kArgSize];
  nqdrop::OptionReader reader(true);
  size_t used = 0;
  const wchar_t *start = nullptr;
  const wchar_t *p = NextArg(GetCommandLineW(), arg, &start);  // this program
  while (p != nullptr && (p = NextArg(p, arg, &start)) != nullptr) {
    const char *narrow = Narrow(arg, &used);
    if (narrow == nullptr) {
      Write("netquill-run: the command line is too long\n");
      return 2;
    }
    nqdrop::OptionReader::Step step = reader.Take(narrow);
    if (step == nqdrop::OptionReader::kProgram) break;
    if (step == nqdrop::OptionReader::kHelp) {
      WriteTo(STD_OUTPUT_HANDLE, nqdrop::kUsage);
      return -1;
    }
    if (step == nqdrop::OptionReader::kRefused) {
      Say(reader.refusal());
      return reader.refusal().exit_code;
    }
  }
  if (p == nullptr && reader.End().exit_code != 0) {
    Say(reader.End());
    return reader.End().exit_code;
  }
  options->run = reader.options();
  const char *file = options->run.file;
  if (file != nullptr && file[-1] == kLossy) {
    Write("netquill-run: the trace file name ");
    Write(file);
    Write(" has characters the system's code page lacks\n");
    return 2;
  }
  if (p == nullptr) return 0;  // -p: no program
  if (wcslen(arg) >= MAX_PATH) {
    Write("netquill-run: the program's name is too long\n");
    return 2;
  }
  options->program = start;
  memcpy(options->name, arg, (wcslen(arg) + 1) * sizeof(wchar_t));
  return 0;
}

// Completes the options with the inherited settings and makes the trace
// file's path absolute into *path (null for the default file). 0, or the
// exit code.
int SettlePath(Options *options, const char **path) {
  nqdrop::RunOptions &run = options->run;
  nqdrop::Refusal refusal = nqdrop::Settle(&run, getenv);
  // Children may change directory before they trace: the path is made
  // absolute here, once.
  static char full[kArgSize];
  if (refusal.exit_code == 0 && run.file != nullptr) {
    // The code-page version takes no name past MAX_PATH: that one is
    // refused as too long, as it is.
    DWORD n = GetFullPathNameA(run.file, sizeof full, full, nullptr);
    bool whole = n > 0 && n < sizeof full;
    refusal = nqdrop::CheckTracePath(whole ? full : run.file, run.per_process);
    if (!whole && refusal.exit_code == 0) {
      Write("netquill-run: cannot use the trace file ");
      Write(run.file);
      Write("\n");
      return 2;
    }
  }
  if (refusal.exit_code != 0) {
    Say(refusal);
    return refusal.exit_code;
  }
  *path = run.file != nullptr ? full : nullptr;
  return 0;
}

// Applies the options to this process's environment, which the program
// inherits, the trace file's absolute path into *path (null for the
// default file). 0, or the exit code.
int SetEnvironment(Options *options, const char **path_out) {
  const char *&path = *path_out;
  int code = SettlePath(options, &path);
  if (code != 0) return code;
  nqdrop::RunOptions &run = options->run;
  if (path != nullptr) SetEnvironmentVariableA(nqdrop::kFileVariable, path);
  if (run.flags != nullptr)
    SetEnvironmentVariableA(nqdrop::kFlagsVariable, run.flags);
  if (run.dump_max != nullptr)
    SetEnvironmentVariableA(nqdrop::kDumpMaxVariable, run.dump_max);
  if (run.calls != nullptr)
    SetEnvironmentVariableA(nqdrop::kCallsVariable, run.calls);
  if (run.split_asked)
    SetEnvironmentVariableA(nqdrop::kPerProcessVariable, "1");
  if (run.call_times) SetEnvironmentVariableA(nqdrop::kCallTimesVariable, "1");
  if (run.socket_labels)
    SetEnvironmentVariableA(nqdrop::kSocketLabelsVariable, "1");
  return 0;
}

// The program to run, found as CreateProcess would, in program: 0, or the
// exit code of a program that cannot be traced (127 not found, 126 not
// one of this bitness), said on standard error.
int FindProgram(const Options &options, wchar_t (&program)[MAX_PATH]) {
  DWORD n =
      SearchPathW(nullptr, options.name, L".exe", MAX_PATH, program, nullptr);
  if (n == 0 || n >= MAX_PATH) {
    Write("netquill-run: cannot find ");
    WriteWide(options.name);
    Write("\n");
    return 127;
  }
  if (UnderWindowsDirectory(program)) {
    Write("netquill-run: ");
    WriteWide(options.name);
    Write(
        " lies under the Windows directory, whose programs and DLLs keep "
        "their socket calls untraced; it runs, and only the programs it "
        "starts from elsewhere are traced\n");
  }
  WORD machine = MachineOf(program);
  if (machine == 0 || machine == kMachine) return 0;
  bool other =
      machine == IMAGE_FILE_MACHINE_I386 || machine == IMAGE_FILE_MACHINE_AMD64;
  Write("netquill-run: ");
  WriteWide(options.name);
  Write(other ? " is a " : " is not a ");
  Write(other ? kOther : kOwn);
  Write(other ? " program; trace it with the " : " program\n");
  if (other) {
    Write(kOther);
    Write(" netquill-run\n");
  }
  return 126;
}

// Starts program suspended, has it load injected first, and waits for its
// end: its exit code, or 126 when it cannot be started. The records of its
// processes come through the launcher's ring when asked and path is a
// file of the user's.
int RunTraced(const Options &options, const wchar_t *program,
              const wchar_t *injected, const char *path) {
  // The program's part of the command line, as the user wrote it.
  static wchar_t command[kArgSize];
  size_t length = wcslen(options.program);
  if (length >= kArgSize) length = kArgSize - 1;
  memcpy(command, options.program, length * sizeof(wchar_t));
  command[length] = L'\0';
  STARTUPINFOW startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info;
  if (SharedRecordsAsked()) StartRecordReader(path, options.run.per_process);
  if (!CreateProcessW(program, command, nullptr, nullptr, TRUE,
                      CREATE_SUSPENDED, nullptr, nullptr, &startup, &info)) {
    StopRecordReader();
    Write("netquill-run: cannot run ");
    WriteWide(options.name);
    Write("\n");
    return 126;
  }
  // The injected DLL sets this event once it is in; run all the same if it
  // never does: the user sees the program's own behaviour, untraced.
  wchar_t event_name[kLoadEventNameSize];
  LoadEventName(info.dwProcessId, event_name);
  HANDLE loaded = CreateEventW(nullptr, TRUE, FALSE, event_name);
  bool queued =
      loaded != nullptr && QueueLoad(info.hProcess, info.hThread, injected);
  SetConsoleCtrlHandler(KeepWaiting, TRUE);
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  WaitForSingleObject(info.hProcess, INFINITE);
  // Its children still running append for themselves from now on.
  char report[sizeof "netquill-run: ..." + 2 * nqdrop::kTracePathSize];
  nqdrop::LostRecordsReport(StopRecordReader(), path, options.run.per_process,
                            report, sizeof report);
  Write(report);
  if (!queued || WaitForSingleObject(loaded, 0) != WAIT_OBJECT_0) {
    Write("netquill-run: NQINJECT.DLL could not be loaded into ");
    WriteWide(options.name);
    Write("; it ran untraced\n");
  }
  if (loaded != nullptr) CloseHandle(loaded);
  DWORD exit_code = 1;
  GetExitCodeProcess(info.hProcess, &exit_code);
  CloseHandle(info.hProcess);
  return static_cast<int>(exit_code);
}

int Run() {
  static Options options;
  int code = ReadOptions(&options);
  if (code != 0) return code < 0 ? 0 : code;
  const char *path = nullptr;
  code = options.program == nullptr ? SettlePath(&options, &path)
                                    : SetEnvironment(&options, &path);
  if (code != 0) return code;
  wchar_t injected[MAX_PATH];
  if (!FindInjected(injected)) {
    Write("netquill-run: cannot find NQINJECT.DLL beside netquill-run\n");
    return 127;
  }
  if (options.program == nullptr)
    return RunAttached(options.run, path, injected);
  wchar_t program[MAX_PATH];
  code = FindProgram(options, program);
  return code != 0 ? code : RunTraced(options, program, injected, path);
}

}  // namespace
}  // namespace nqrun

extern "C" void NqRunStart() { ExitProcess(nqrun::Run()); }
