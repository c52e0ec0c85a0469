#include "tls_library.h"

#include <dlfcn.h>
#include <errno.h>
#include <link.h>

#include "preload_state.h"

namespace nqrun {
namespace {

struct Search {
  const char *name;
  const void *own_base;  // this library's, whose definitions are skipped
  void *found;
};

// Asks each loaded object's scope (itself and what it needs) for the name,
// without loading anything; the first definition outside this library.
int AskObject(dl_phdr_info *info, size_t, void *data) {
  auto *search = static_cast<Search *>(data);
  if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') return 0;
  void *handle = dlopen(info->dlpi_name, RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) return 0;
  void *fn = dlsym(handle, search->name);
  dlclose(handle);
  Dl_info where;
  if (fn == nullptr || dladdr(fn, &where) == 0 ||
      where.dli_fbase == search->own_base)
    return 0;
  search->found = fn;
  return 1;
}

}  // namespace

void *TlsSymbol(const char *name) {
  void *fn = NextSymbol(name);
  if (fn != nullptr) return fn;
  int saved = errno;
  Dl_info own;
  Search search = {name, nullptr, nullptr};
  if (dladdr(reinterpret_cast<void *>(&TlsSymbol), &own) != 0) {
    search.own_base = own.dli_fbase;
    dl_iterate_phdr(AskObject, &search);
  }
  errno = saved;
  return search.found;
}

}  // namespace nqrun
