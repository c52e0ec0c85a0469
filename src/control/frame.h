// Load and unload of the library, and the end of a thread.
#ifndef NQ_CONTROL_FRAME_H
#define NQ_CONTROL_FRAME_H

// A header of the top floor: a file below it must not include it.
#if NQ_FLOOR < 4
#error "src/control/ is above the floor of this file (NQ_FLOOR)"
#endif

namespace nq {

// Called once when the library is attached to the process. False when the
// system refuses what the library needs; then it must not be used.
bool LibraryAttach();

// Called once when it is detached. give_back is true when the process goes
// on without the library (a dynamic unload) and nothing can reach the
// library's memory any more, so contexts still live are freed silently.
void LibraryDetach(bool give_back);

// Called on a thread that ends (DLL_THREAD_DETACH, or the POSIX thread
// key's destructor), on that thread. The loader lock may be held: nothing
// here calls back into the program or writes a file.
void ThreadEnding();

}  // namespace nq

#endif
