// Where each thread's stack lies, so that the interposer can read a value
// the program keeps there (the length of an address, most often a local
// variable of the caller) without asking the kernel whether it may.
#ifndef NQ_RUN_LINUX_PRELOAD_THREAD_STACKS_H
#define NQ_RUN_LINUX_PRELOAD_THREAD_STACKS_H

#include <stddef.h>

namespace nqrun {

// Takes the calling thread's stack bounds from the C library: at load for
// the thread that loads the interposer, at the start of each thread the
// program creates. Not safe in a signal handler (the C library allocates).
void NoteThisThreadsStack();

// Whether the size bytes at from lie on the calling thread's own stack,
// between the current frame and the stack's top: memory that is mapped for
// as long as this frame lives, and safe to read directly. False on any
// other stack (a signal stack, a coroutine's) and on a thread whose stack
// is not known: the caller then reads through the kernel.
bool OnLiveStack(const void *from, size_t size);

}  // namespace nqrun

#endif
