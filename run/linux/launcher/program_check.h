// Programs the loader will not preload into: told to the user up front
// rather than left to an empty trace.
#ifndef NQ_DROPIN_NETQUILL_RUN_PROGRAM_CHECK_H
#define NQ_DROPIN_NETQUILL_RUN_PROGRAM_CHECK_H

namespace nqrun {

// The program's file as execvp would find it, into out (PATH_MAX bytes).
bool FindProgram(const char *program, char *out);

// Why the program at path will run untraced ("is statically linked",
// ...), or null when nothing speaks against it.
const char *WhyUntraced(const char *path);

}  // namespace nqrun

#endif  // NQ_DROPIN_NETQUILL_RUN_PROGRAM_CHECK_H
