// netquill-run -p: tracing processes that are running already, from an
// attach until Ctrl-C, the end of the launcher's standard input when that
// is a pipe, or the end of every process attached to.
#ifndef NQ_DROPIN_NETQUILL_RUN_WIN_ATTACH_H
#define NQ_DROPIN_NETQUILL_RUN_WIN_ATTACH_H

#include <windows.h>

#include "launcher_core.h"

namespace nqrun {

// Attaches to each process of options in turn, then waits and detaches.
// path is the trace file made absolute, or null for the default; injected
// NQINJECT.DLL's path. The launcher's exit code: 0, 2 for a refusal, 1 when
// a process could not load the DLL.
int RunAttached(const nqdrop::RunOptions &options, const char *path,
                const wchar_t *injected);

// The launcher's standard error.
void Write(const char *text);

}  // namespace nqrun

#endif  // NQ_DROPIN_NETQUILL_RUN_WIN_ATTACH_H
