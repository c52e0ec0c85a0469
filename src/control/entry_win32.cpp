// Entry point of NETQUILL.DLL.
#include "netquill.h"  // winsock2.h before windows.h

#include <windows.h>

#include "control/frame.h"
#include "output/writer.h"

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

// In no header: the drop-in WSOCK32.DLL, which builds the -T and -y views
// in itself, installs them here for every call line (null takes them off).
// The library's own lines stay as they are without them.
extern "C" void WINAPI NetQuillSetLineViews(nq::CallLineViews views) {
  nq::g_call_line_views = views;
}
