// The held file of netquill-run.exe's entries; their header brings
// windows.h after winsock2.h.
#include "entries/netquill_winsock2.h"
#include "spawn.h"

namespace nqstress {
namespace {

constexpr DWORD kWaitMs = 120000;

}  // namespace

intptr_t SpawnChild(const std::vector<std::string> &args) {
  char self[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  if (n == 0 || n >= sizeof self) return -1;
  std::string line = "\"" + std::string(self) + "\" --child";
  for (const std::string &arg : args) line += " \"" + arg + "\"";
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info;
  if (!CreateProcessA(self, &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &info)) {
    return -1;
  }
  CloseHandle(info.hThread);
  return reinterpret_cast<intptr_t>(info.hProcess);
}

int WaitChild(intptr_t child) {
  HANDLE process = reinterpret_cast<HANDLE>(child);
  DWORD code = 1;
  if (WaitForSingleObject(process, kWaitMs) != WAIT_OBJECT_0) {
    TerminateProcess(process, static_cast<UINT>(-1));
    WaitForSingleObject(process, INFINITE);
    code = static_cast<DWORD>(-1);
  } else if (!GetExitCodeProcess(process, &code)) {
    code = static_cast<DWORD>(-1);
  }
  CloseHandle(process);
  return static_cast<int>(code);
}

bool HoldTraceFile(const std::string &path) {
  return NQW_HoldTraceFile(path.c_str()) == 1;
}

}  // namespace nqstress
