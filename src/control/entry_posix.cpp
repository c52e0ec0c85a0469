// Load and unload of libnetquill.so.
#include "control/frame.h"
#include "core/context.h"
#include "platform/os.h"

// A forked child keeps the forking thread's trace alone: the others'
// threads are not in it.
__attribute__((constructor)) static void NetQuillLoad() {
  if (nq::LibraryAttach()) nq::SetForkChildHook(nq::KeepForkingThreadOnly);
}

// A destructor also runs at exit(), while other threads may still be inside
// a hook, so it gives nothing back: the memory goes with the process or the
// mapping.
__attribute__((destructor)) static void NetQuillUnload() {
  nq::LibraryDetach(false);
}
