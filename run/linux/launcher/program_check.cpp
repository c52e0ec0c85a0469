// Reads just enough of the program's file to tell whether the preload can
// take: a dynamic ELF program that does not change its user or group and
// gains no capabilities.
#include "program_check.h"

#include <elf.h>
#include <limits.h>
#include <linux/capability.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "elf_file.h"

namespace nqrun {

bool FindProgram(const char *program, char *out) {
  if (strchr(program, '/') != nullptr)
    return snprintf(out, PATH_MAX, "%s", program) < PATH_MAX;
  const char *dirs = getenv("PATH");
  if (dirs == nullptr) dirs = "/usr/local/bin:/usr/bin:/bin";
  for (const char *dir = dirs;; ++dir) {
    const char *end = strchrnul(dir, ':');
    int n = end == dir ? snprintf(out, PATH_MAX, "./%s", program)
                       : snprintf(out, PATH_MAX, "%.*s/%s",
                                  static_cast<int>(end - dir), dir, program);
    if (n > 0 && n < PATH_MAX && access(out, X_OK) == 0) return true;
    if (*end == '\0') return false;
    dir = end;
  }
}

namespace {

// Whether the file's capabilities put the loader into secure mode, in which
// it ignores LD_PRELOAD: for a caller whose real user is not root, file
// capabilities that are effective or add to the permitted set.
bool GainsCapabilities(const char *path) {
  if (getuid() == 0) return false;
  vfs_ns_cap_data caps;
  ssize_t n = getxattr(path, "security.capability", &caps, sizeof caps);
  if (n < static_cast<ssize_t>(XATTR_CAPS_SZ_1)) return false;
  uint32_t permitted = caps.data[0].permitted;
  if (n >= static_cast<ssize_t>(XATTR_CAPS_SZ_2))
    permitted |= caps.data[1].permitted;
  return (caps.magic_etc & VFS_CAP_FLAGS_EFFECTIVE) != 0 || permitted != 0;
}

// Whether the file is an ELF program without an interpreter (the dynamic
// loader) to preload with. Anything that is not ELF (a script) gets the
// benefit of the doubt, and so does a program header table that does not
// fit in the file.
bool IsStatic(const char *path) {
  MappedElf file(path);
  const ElfView &elf = file.View();
  if (!elf.Valid() || !elf.SegmentsFit()) return false;
  for (unsigned i = 0; i < elf.SegmentCount(); ++i)
    if (elf.Segment(i).type == PT_INTERP) return false;
  return true;
}

}  // namespace

const char *WhyUntraced(const char *path) {
  struct stat st;
  if (stat(path, &st) != 0) return nullptr;
  // The loader ignores LD_PRELOAD for a program that gains a user or group.
  if ((st.st_mode & S_ISUID) != 0 && st.st_uid != geteuid())
    return "is set-user-ID: the loader ignores the preload for it";
  if ((st.st_mode & S_ISGID) != 0 && st.st_gid != getegid())
    return "is set-group-ID: the loader ignores the preload for it";
  if (GainsCapabilities(path))
    return "has file capabilities: the loader ignores the preload for it";
  return IsStatic(path)
             ? "is statically linked: nothing can be preloaded into it"
             : nullptr;
}

}  // namespace nqrun
