// Entry point of NETQUILL.DLL.
#include <windows.h>

#include "control/frame.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      // Without its per-thread storage the library would run half made:
      // the load fails instead.
      return nq::LibraryAttach() ? TRUE : FALSE;
    case DLL_THREAD_DETACH:
      nq::ThreadEnding();
      break;
    case DLL_PROCESS_DETACH:
      // reserved is null when the library is unloaded by FreeLibrary; the
      // process goes on, so whatever the library still holds is given back.
      // At process exit the other threads are already gone mid-call and the
      // system reclaims everything, so nothing is touched.
      nq::LibraryDetach(reserved == nullptr);
      break;
    default:
      break;
  }
  return TRUE;
}
