// Entry point of NQINJECT.DLL, loaded by netquill-run into a program that
// has not run yet: it loads NETQUILL.DLL and patches the program's import
// tables before the program's first instruction. It has no C run-time
// start-up and no static constructors.
#include "inject_patch.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    if (!nqinj::AttachProcess(instance)) return FALSE;
    nqinj::PatchAll();
  }
  // Never unloaded while the program runs: its import tables point here.
  return TRUE;
}
