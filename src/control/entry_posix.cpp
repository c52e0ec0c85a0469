// Load and unload of libnetquill.so.
#include "control/frame.h"

__attribute__((constructor)) static void NetQuillLoad() { nq::LibraryAttach(); }

// A destructor also runs at exit(), while other threads may still be inside
// a hook, so it gives nothing back: the memory goes with the process or the
// mapping.
__attribute__((destructor)) static void NetQuillUnload() {
  nq::LibraryDetach(false);
}
