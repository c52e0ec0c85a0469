// Import tables of the program's modules, patched so that the traced calls
// and the watched KERNEL32 calls reach this DLL's functions.
#ifndef NQ_DROPIN_NETQUILL_RUN_WIN_INJECT_PATCH_H
#define NQ_DROPIN_NETQUILL_RUN_WIN_INJECT_PATCH_H

#include <string.h>

#include "inject_state.h"

namespace nqinj {

// A function's address as the void pointer an import table holds.
template <typename Fn>
void *Address(Fn fn) {
  void *p;
  memcpy(&p, &fn, sizeof p);
  return p;
}

// Patches every module loaded now, except the Windows directory's DLLs,
// the socket libraries themselves and this DLL. Patching
// twice changes nothing. The last error is left as it was.
void PatchAll();

// mswsock.dll, the third library a program imports socket calls from; its
// two listed calls are all it traces, so it is no Lib of the 36.
constexpr int kMswsock = kLibs;

// The function that traces the call of socket library lib (a Lib or
// kMswsock) named name, or of this ordinal when name is an ordinal; with
// no name, the one standing for the system function current. Null if the
// call is not traced or its library is not loaded yet.
void *SocketThunkOf(int lib, const char *name, void *current);

// The traced call of the socket library lib with this name, or this
// ordinal when name is an ordinal (as GetProcAddress takes it); -1 if the
// function is not traced.
int FindCall(int lib, const char *name);

// The function that traces call for a program that imports it from lib.
void *ThunkOf(int lib, int call);

// The function that traces the call of netquill-run's list for a program
// that got the system's function from source; null where that call is not
// traced (the call is not asked for, or the source lacks the function).
void *RelayOf(Source source, int call);

// This DLL's replacement of a KERNEL32 function, or null: the watched
// calls, the completion calls and those of thread-pool I/O.
void *KernelHookOf(const char *name);

// The same for KERNELBASE, where a newer program may find the last two.
void *KernelBaseHookOf(const char *name);

}  // namespace nqinj

#endif  // NQ_DROPIN_NETQUILL_RUN_WIN_INJECT_PATCH_H
