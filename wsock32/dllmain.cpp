// Entry point of the drop-in WSOCK32.DLL. Only the environment is read
// here, once: reading it on a later call could change the error code that
// the program is about to read. The libraries are loaded on the first call.
#include "backend.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason,
                               LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    nqws::AttachProcess(instance);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // At process exit (reserved set) nothing needs giving back.
    nqws::DetachProcess();
  }
  return TRUE;
}
