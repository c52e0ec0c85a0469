// Entry point of NQINJECT.DLL, loaded by netquill-run into a program that
// has not run yet: it starts the library built into it and patches the
// program's import tables before the program's first instruction. It has
// no C run-time start-up and no static constructors.
#include "control/frame.h"
#include "entries/ring_records_win32.h"
#include "inject_inline.h"
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

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason,
                               LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      // Without its per-thread storage the library would run half made.
      if (!nq::LibraryAttach()) return FALSE;
      if (!nqinj::AttachProcess(instance)) return FALSE;
      nqinj::PatchAll();
      if (nqinj::AttachedWhileRunning()) nqinj::PatchEntryPoints();
      nqinj::TellLauncher();
      break;
    case DLL_THREAD_DETACH:
      // The thread's trace context goes with it, as in NETQUILL.DLL.
      nq::ThreadEnding();
      break;
    case DLL_PROCESS_DETACH:
      // Never unloaded while the program runs (its import tables point
      // here), but at exit, where the library writes its last line, or
      // after a failed attach (reserved null), where it gives back all.
      nq::LibraryDetach(reserved == nullptr);
      // At exit, what a launcher killed before it left in the ring.
      if (reserved != nullptr) nq::LeaveRing();
      break;
    default:
      break;
  }
  return TRUE;
}
