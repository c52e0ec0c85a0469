// The thread pool's completions: the pool gets the launcher's callback,
// which writes each completion before it calls the program's.
#ifndef NQ_DROPIN_NETQUILL_RUN_WIN_INJECT_THREADPOOL_H
#define NQ_DROPIN_NETQUILL_RUN_WIN_INJECT_THREADPOOL_H

#include "inject_state.h"

namespace nqinj {

// The DLL's replacement of a thread-pool I/O call of KERNEL32
// (NQRUN_THREADPOOL_CALLS) by name, or null: another name, or a system
// without thread-pool I/O.
void *ThreadPoolHookOf(const char *name);

}  // namespace nqinj

#endif  // NQ_DROPIN_NETQUILL_RUN_WIN_INJECT_THREADPOOL_H
