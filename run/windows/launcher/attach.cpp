// netquill-run -p PID on Windows. Each process gets its settings in its
// block (attach_block.h), then a thread of the launcher's making runs
// LoadLibraryW on NQINJECT.DLL in it: loaded, the DLL patches every module
// and takes the block's settings; loaded already (attached before, or
// started under netquill-run), the load changes nothing and the new
// settings are taken on the next traced call. To detach, the launcher
// switches the blocks it wrote off: those of the processes and of the
// children they started while attached, which carry its session.
#include "attach.h"

#include <tlhelp32.h>

#include <string.h>

#include "attach_block.h"
#include "record_reader.h"
#include "remote_load.h"

namespace nqrun {
namespace {

constexpr DWORD kRights = PROCESS_CREATE_THREAD | PROCESS_VM_OPERATION |
                          PROCESS_VM_WRITE | PROCESS_VM_READ |
                          PROCESS_QUERY_INFORMATION | SYNCHRONIZE;

#if defined(_WIN64)
constexpr const char *kOther = "32-bit";
#else
constexpr const char *kOther = "64-bit";
#endif

HANDLE g_stop;  // set by Ctrl-C, Ctrl-Break or the end of a piped input

int Say(int code, const char *before, DWORD pid, const char *after) {
  wchar_t wide[12];
  char digits[12];
  AppendNumber(pid, wide);
  int n = 0;
  while (wide[n] != L'\0') digits[n] = static_cast<char>(wide[n]), ++n;
  digits[n] = '\0';
  Write("netquill-run: ");
  Write(before);
  Write(digits);
  Write(after);
  Write("\n");
  return code;
}

BOOL WINAPI Stop(DWORD) {
  SetEvent(g_stop);
  return TRUE;
}

// A script that drives the launcher (a test, a service's wrapper) detaches
// by closing the pipe it gave as standard input; it sends no Ctrl-C to a
// process of another console.
DWORD WINAPI WatchInput(void *) {
  char buffer[256];
  DWORD got;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  while (ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got > 0) {
  }
  SetEvent(g_stop);
  return 0;
}

// LoadLibraryW(dll_path) on a new thread of process. True once it returned;
// KERNEL32 lies at the same address in every process of one bitness.
bool LoadRemotely(HANDLE process, const wchar_t *dll_path) {
  auto load = reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void *>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
  SIZE_T bytes = (wcslen(dll_path) + 1) * sizeof(wchar_t);
  void *remote = VirtualAllocEx(process, nullptr, bytes,
                                MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (load == nullptr || remote == nullptr) return false;
  HANDLE thread = nullptr;
  if (WriteProcessMemory(process, remote, dll_path, bytes, nullptr))
    thread = CreateRemoteThread(process, nullptr, 0, load, remote, 0, nullptr);
  bool done =
      thread != nullptr && WaitForSingleObject(thread, 30000) == WAIT_OBJECT_0;
  if (thread != nullptr) CloseHandle(thread);
  // A load still under way reads the path yet: left to it.
  if (done || thread == nullptr) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  return done;
}

struct Attached {
  DWORD pid;
  HANDLE process;
  HANDLE section;
  AttachBlock *block;
};

void Release(Attached *a) {
  UnmapViewOfFile(a->block);
  CloseHandle(a->section);
  CloseHandle(a->process);
}

void SwitchOff(AttachBlock *block) {
  if (!block->on) return;
  block->on = 0;
  Publish(block);
}

int Attach(DWORD pid, const AttachBlock &settings, const wchar_t *injected,
           Attached *out) {
  HANDLE process = OpenProcess(kRights, FALSE, pid);
  if (process == nullptr)
    return GetLastError() == ERROR_ACCESS_DENIED
               ? Say(2, "not permitted to open process ", pid,
                     " (access denied)")
               : Say(2, "no process ", pid, "");
  DWORD code = 0;
  if (!GetExitCodeProcess(process, &code) || code != STILL_ACTIVE) {
    CloseHandle(process);
    return Say(2, "no process ", pid, "");
  }
  if (!SameBitness(process)) {
    CloseHandle(process);
    Say(2, "process ", pid, " is a ");
    Write(kOther);
    Write(" program: attach with the ");
    Write(kOther);
    Write(" netquill-run\n");
    return 2;
  }
  bool made;
  Attached a = {pid, process, nullptr, nullptr};
  a.block = MapBlock(pid, true, &a.section, &made);
  if (a.block == nullptr) {
    CloseHandle(process);
    return Say(1, "cannot hand process ", pid,
               " its settings: it holds another build's NQINJECT.DLL, or "
               "memory is short");
  }
  a.block->session = settings.session;
  a.block->per_process = settings.per_process;
  a.block->flags = settings.flags;
  a.block->views = settings.views;
  memcpy(a.block->path, settings.path, sizeof settings.path);
  memcpy(a.block->records, settings.records, sizeof settings.records);
  a.block->on = 1;
  Publish(a.block);
  // A block made before and taken holds a DLL that is in the process: it
  // takes the settings on its next call, and no copy from another folder
  // is loaded beside it.
  bool present = !made && a.block->loaded;
  if (!present && (!LoadRemotely(process, injected) || !a.block->loaded)) {
    SwitchOff(a.block);
    Release(&a);
    return Say(1, "process ", pid, " could not load NQINJECT.DLL");
  }
  *out = a;
  return 0;
}

// The children started while attached, which may outlive their parent.
void SwitchOffChildren(DWORD session) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    HANDLE section;
    bool made;
    AttachBlock *block = MapBlock(entry.th32ProcessID, false, &section, &made);
    if (block == nullptr) continue;
    if (block->session == session) SwitchOff(block);
    UnmapViewOfFile(block);
    CloseHandle(section);
  }
  CloseHandle(snapshot);
}

}  // namespace

int RunAttached(const nqdrop::RunOptions &options, const char *path,
                const wchar_t *injected) {
  static AttachBlock settings;
  settings.session = GetCurrentProcessId();
  settings.per_process = options.per_process ? 1 : 0;
  settings.views = (options.call_times ? kViewTimes : 0) |
                   (options.socket_labels ? kViewLabels : 0);
  if (options.flags != nullptr)
    nqdrop::ParseFlags(options.flags, &settings.flags);
  if (path != nullptr) memcpy(settings.path, path, strlen(path) + 1);
  // The processes hand their records to this launcher, as a program it
  // starts does.
  if (path != nullptr && SharedRecordsAsked() &&
      StartRecordReader(path, options.per_process))
    memcpy(settings.records, RecordsSectionName(),
           strlen(RecordsSectionName()) + 1);
  g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (g_stop == nullptr) return 1;
  SetConsoleCtrlHandler(Stop, TRUE);
  if (GetFileType(GetStdHandle(STD_INPUT_HANDLE)) == FILE_TYPE_PIPE) {
    HANDLE watcher = CreateThread(nullptr, 0, WatchInput, nullptr, 0, nullptr);
    if (watcher != nullptr) CloseHandle(watcher);
  }
  static Attached attached[nqdrop::kMaxAttach];
  int count = 0, code = 0;
  for (int i = 0; i < options.attach_count && code == 0; ++i) {
    DWORD pid = static_cast<DWORD>(options.attach[i]);
    code = Attach(pid, settings, injected, &attached[count]);
    if (code == 0) Say(0, "attached to ", attached[count++].pid, "");
  }
  // Traced until stopped or every process has ended.
  HANDLE waits[1 + nqdrop::kMaxAttach] = {g_stop};
  int live = code == 0 ? count : 0;
  for (int i = 0; i < live; ++i) waits[1 + i] = attached[i].process;
  while (live > 0) {
    DWORD woken = WaitForMultipleObjects(static_cast<DWORD>(1 + live), waits,
                                         FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0 || woken > WAIT_OBJECT_0 + live) break;
    waits[woken - WAIT_OBJECT_0] = waits[live--];
  }
  for (int i = 0; i < count; ++i) {
    if (WaitForSingleObject(attached[i].process, 0) == WAIT_TIMEOUT) {
      SwitchOff(attached[i].block);
      Say(0, "detached from ", attached[i].pid, "");
    }
    Release(&attached[i]);
  }
  SwitchOffChildren(settings.session);
  char report[sizeof "netquill-run: ..." + 2 * nqdrop::kTracePathSize];
  nqdrop::LostRecordsReport(StopRecordReader(), path, options.per_process,
                            report, sizeof report);
  Write(report);
  return code;
}

}  // namespace nqrun
