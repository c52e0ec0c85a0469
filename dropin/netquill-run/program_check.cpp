// Reads just enough of the program's file to tell whether the preload can
// take: a dynamic ELF program that does not change its user or group.
#include "program_check.h"

#include <elf.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace nqrun {
namespace {

std::string FindInPath(const char *program) {
  if (strchr(program, '/') != nullptr) return program;
  const char *path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::string();
}

// Whether the ELF file has an interpreter (the dynamic loader) to preload
// with. Anything that is not ELF (a script) gets the benefit of the doubt.
template <typename Ehdr, typename Phdr>
bool HasInterpreter(int fd) {
  Ehdr header;
  if (pread(fd, &header, sizeof header, 0) != sizeof header) return true;
  for (unsigned i = 0; i < header.e_phnum; ++i) {
    Phdr ph;
    off_t at = static_cast<off_t>(header.e_phoff + i * sizeof ph);
    if (pread(fd, &ph, sizeof ph, at) != sizeof ph) return true;
    if (ph.p_type == PT_INTERP) return true;
  }
  return false;
}

bool IsStatic(int fd) {
  unsigned char ident[EI_NIDENT];
  if (pread(fd, ident, sizeof ident, 0) != sizeof ident) return false;
  if (memcmp(ident, ELFMAG, SELFMAG) != 0) return false;
  if (ident[EI_CLASS] == ELFCLASS64)
    return !HasInterpreter<Elf64_Ehdr, Elf64_Phdr>(fd);
  if (ident[EI_CLASS] == ELFCLASS32)
    return !HasInterpreter<Elf32_Ehdr, Elf32_Phdr>(fd);
  return false;
}

}  // namespace

const char *WhyUntraced(const char *program) {
  std::string path = FindInPath(program);
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) return nullptr;
  // The loader ignores LD_PRELOAD for a program that gains a user or group.
  if ((st.st_mode & S_ISUID) != 0 && st.st_uid != geteuid())
    return "is set-user-ID: the loader ignores the preload for it";
  if ((st.st_mode & S_ISGID) != 0 && st.st_gid != getegid())
    return "is set-group-ID: the loader ignores the preload for it";
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  bool is_static = IsStatic(fd);
  close(fd);
  return is_static ? "is statically linked: nothing can be preloaded into it"
                   : nullptr;
}

}  // namespace nqrun
