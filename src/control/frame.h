// Load and unload of the library.
#ifndef NQ_CONTROL_FRAME_H
#define NQ_CONTROL_FRAME_H

namespace nq {

// Called once when the library is attached to the process.
void LibraryAttach();

// Called once when it is detached. give_back is true when the process goes
// on without the library (a dynamic unload) and nothing can reach the
// library's memory any more, so contexts still live are freed silently.
void LibraryDetach(bool give_back);

}  // namespace nq

#endif
