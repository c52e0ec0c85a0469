/* A DLL of the program's own, which notes the thread its initialisation
 * runs on: the loader runs it on the program's main thread. */
#include <windows.h>

static DWORD attach_thread;

__declspec(dllexport) DWORD AttachThread(void) { return attach_thread; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) attach_thread = GetCurrentThreadId();
  return TRUE;
}
