// Import tables of the program's modules, patched so that the traced calls
// and the watched KERNEL32 calls reach this DLL's functions.
#ifndef NQ_DROPIN_NETQUILL_RUN_WIN_INJECT_PATCH_H
#define NQ_DROPIN_NETQUILL_RUN_WIN_INJECT_PATCH_H

#include "inject_state.h"

namespace nqinj {

// Patches every module loaded now, except the Windows directory's DLLs,
// the socket libraries themselves, NETQUILL.DLL and this DLL. Patching
// twice changes nothing. The last error is left as it was.
void PatchAll();

// The traced call of the socket library lib with this name, or this
// ordinal when name is an ordinal (as GetProcAddress takes it); -1 if the
// function is not traced.
int FindCall(int lib, const char *name);

// The function that traces call for a program that imports it from lib.
void *ThunkOf(int lib, int call);

// This DLL's replacement of a KERNEL32 function, or null.
void *KernelHookOf(const char *name);

}  // namespace nqinj

#endif  // NQ_DROPIN_NETQUILL_RUN_WIN_INJECT_PATCH_H
