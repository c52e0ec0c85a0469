// The entry points of ws2_32.dll's traced functions patched in place, for
// a program attached to while it runs (inject_inline.cpp).
#ifndef NQ_DROPIN_NETQUILL_RUN_WIN_INJECT_INLINE_H
#define NQ_DROPIN_NETQUILL_RUN_WIN_INJECT_INLINE_H

#include "inject_state.h"

namespace nqinj {

// Patches them, once; the relays call the system's functions through
// trampolines from then on. A function whose first instructions are not
// known, or that a thread stays inside, is left as it was.
void PatchEntryPoints();

// The launcher's entry a patched function jumps to, null when the call is
// not traced: a Windows Sockets 1.1 call of ws2_32.dll (inject_thunks.cpp)
// or one of netquill-run's list found there (inject_relays.cpp). A call
// from the system's own modules goes on to the system's function, the
// program's to the traced call.
void *InlineThunkOf(int call);
void *InlineRelayOf(int call);

// Whether the code at address is of a module whose socket calls are not
// traced: the Windows directory's DLLs, a socket library, this DLL
// (inject_patch.cpp). The last error is left as it was.
bool CalledFromSystem(const void *address);

}  // namespace nqinj

#endif  // NQ_DROPIN_NETQUILL_RUN_WIN_INJECT_INLINE_H
