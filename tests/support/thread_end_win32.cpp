#include <windows.h>

#include "control/frame.h"
#include "support/thread_end.h"

namespace {

// Called by the loader for the program's own module, as DllMain is for the
// library's: the program's TLS callbacks run at every thread's end.
void NTAPI OnThreadEvent(PVOID, DWORD reason, PVOID) {
  if (reason == DLL_THREAD_DETACH) nq::ThreadEnding();
}

}  // namespace

extern "C" __attribute__((section(".CRT$XLY"), used))
const PIMAGE_TLS_CALLBACK nq_test_thread_end = OnThreadEvent;

namespace nqtest {

// Referenced from main, so the callback above is linked in.
void WatchThreadEnds() {}

}  // namespace nqtest
