// The shipped library loaded at run time, as a traced program may load it:
// dlopen on POSIX, LoadLibrary on Windows.
#ifndef NQ_TESTS_UNLOAD_LOADER_H
#define NQ_TESTS_UNLOAD_LOADER_H

namespace nqunload {

// Loads the library file; null when it cannot be loaded.
void *LoadLib(const char *file);

// An export of the library by name; null when it has none.
void *FindExport(void *lib, const char *name);

// Unloads it; false when the system refused.
bool UnloadLib(void *lib);

// Whether the library file is mapped in the process at all.
bool IsLoaded(const char *file);

// While one lives, what the calling thread allocates is not reported as a
// leak. On POSIX the library cannot tell an unload from the exit of the
// process, when other threads may still be inside it, so contexts still
// live when it goes are kept, by design; a test that unloads it under them
// says so with this.
class KeptAtUnload {
 public:
  KeptAtUnload();
  ~KeptAtUnload();
  KeptAtUnload(const KeptAtUnload &) = delete;
  KeptAtUnload &operator=(const KeptAtUnload &) = delete;
};

}  // namespace nqunload

#endif
