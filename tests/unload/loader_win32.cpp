#include <windows.h>

#include <string>

#include "loader.h"

namespace nqunload {
namespace {

// The build passes the library's path as the build machine names it; under
// Wine a path from the root of that machine is reached through drive Z:.
std::string WindowsPath(const char *file) {
  std::string path = file;
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char &c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

}  // namespace

void *LoadLib(const char *file) {
  return reinterpret_cast<void *>(LoadLibraryA(WindowsPath(file).c_str()));
}

void *FindExport(void *lib, const char *name) {
  return reinterpret_cast<void *>(
      GetProcAddress(reinterpret_cast<HMODULE>(lib), name));
}

bool UnloadLib(void *lib) {
  return FreeLibrary(reinterpret_cast<HMODULE>(lib)) != 0;
}

bool IsLoaded(const char *file) {
  return GetModuleHandleA(WindowsPath(file).c_str()) != nullptr;
}

// FreeLibrary gives back the contexts still live: nothing is kept.
KeptAtUnload::KeptAtUnload() {}
KeptAtUnload::~KeptAtUnload() {}

}  // namespace nqunload
