// The calls the injected DLL replaces in a program's import tables: the 36
// socket calls NETQUILL traces, from the one list of them, the few
// KERNEL32 calls it watches so that it reaches modules and processes that
// come later, and those of thread-pool I/O, whose completions it traces.
// cmake/Calls.cmake reads the lists here into the build's table of calls
// too, for the test that holds each replacement to its bytes.
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

// X(name, bytes): the KERNEL32 calls through which the thread pool is
// given a callback for completions, replaced by the DLL's own, which give
// it the launcher's and keep the program's as long as the pool may call it:
// thread-pool I/O (Windows Vista on) and a function bound to a handle.
#define NQRUN_THREADPOOL_CALLS(X) \
  X(CreateThreadpoolIo, 16)       \
  X(StartThreadpoolIo, 4)         \
  X(CancelThreadpoolIo, 4)        \
  X(CloseThreadpoolIo, 4)         \
  X(BindIoCompletionCallback, 12)

#endif  // NQ_DROPIN_NETQUILL_RUN_WIN_CALLS_H
