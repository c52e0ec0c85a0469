// Entry point of NQINJECT.DLL, loaded by netquill-run into a program that
// has not run yet: it loads NETQUILL.DLL and patches the program's import
// tables before the program's first instruction. It has no C run-time
// start-up and no static constructors.
#include "inject_patch.h"
#include "remote_load.h"

namespace nqinj {

// netquill-run waits on an event of this process's to know the load went
// well; a child started by the program has none.
void TellLauncher() {
  wchar_t name[nqrun::kLoadEventNameSize];
  nqrun::LoadEventName(GetCurrentProcessId(), name);
  HANDLE loaded = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
  if (loaded == nullptr) return;
  SetEvent(loaded);
  CloseHandle(loaded);
}

}  // namespace nqinj

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    if (!nqinj::AttachProcess(instance)) return FALSE;
    nqinj::PatchAll();
    nqinj::TellLauncher();
  }
  // Never unloaded while the program runs: its import tables point here.
  return TRUE;
}
