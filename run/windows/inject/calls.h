// The calls the injected DLL replaces in a program's import tables: the 36
// socket calls NETQUILL traces, from the one list of them, and the few
// KERNEL32 calls it watches so that it reaches modules and processes that
// come later.
#ifndef NQ_DROPIN_NETQUILL_RUN_WIN_CALLS_H
#define NQ_DROPIN_NETQUILL_RUN_WIN_CALLS_H

#include "netquill_calls.h"

// X(name, bytes): the KERNEL32 calls replaced by the DLL's own, and what
// they take on the stack on 32-bit x86.
#define NQRUN_KERNEL_CALLS(X) \
  X(LoadLibraryA, 4)          \
  X(LoadLibraryW, 4)          \
  X(LoadLibraryExA, 12)       \
  X(LoadLibraryExW, 12)       \
  X(GetProcAddress, 8)        \
  X(CreateProcessA, 40)       \
  X(CreateProcessW, 40)

#endif  // NQ_DROPIN_NETQUILL_RUN_WIN_CALLS_H
