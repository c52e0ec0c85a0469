#include <dlfcn.h>

#include "loader.h"

#if defined(__SANITIZE_ADDRESS__)
#define NQ_LEAK_CHECKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NQ_LEAK_CHECKS 1
#endif
#endif

#if defined(NQ_LEAK_CHECKS)
#include <sanitizer/lsan_interface.h>
#endif

namespace nqunload {

void *LoadLib(const char *file) { return dlopen(file, RTLD_NOW | RTLD_LOCAL); }

void *FindExport(void *lib, const char *name) { return dlsym(lib, name); }

bool UnloadLib(void *lib) { return dlclose(lib) == 0; }

bool IsLoaded(const char *file) {
  void *lib = dlopen(file, RTLD_NOW | RTLD_NOLOAD);
  if (lib == nullptr) return false;
  dlclose(lib);  // RTLD_NOLOAD still counted a reference
  return true;
}

#if defined(NQ_LEAK_CHECKS)
KeptAtUnload::KeptAtUnload() { __lsan_disable(); }
KeptAtUnload::~KeptAtUnload() { __lsan_enable(); }
#else
KeptAtUnload::KeptAtUnload() {}
KeptAtUnload::~KeptAtUnload() {}
#endif

}  // namespace nqunload
