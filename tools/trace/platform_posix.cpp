// What the tools need of a POSIX system.
#include <sys/stat.h>

#include "binary_stdio.h"
#include "file_identity.h"

namespace nqtrace {

// POSIX streams carry bytes unchanged.
void SetBinaryMode(std::FILE *) {}

bool IdentifyFile(const std::string &name, FileIdentity &id) {
  struct stat st;
  if (stat(name.c_str(), &st) != 0) return false;
  id.volume = static_cast<std::uint64_t>(st.st_dev);
  id.index = static_cast<std::uint64_t>(st.st_ino);
  return true;
}

bool IdentifyStream(std::FILE *stream, FileIdentity &id) {
  struct stat st;
  if (fstat(fileno(stream), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  id.volume = static_cast<std::uint64_t>(st.st_dev);
  id.index = static_cast<std::uint64_t>(st.st_ino);
  return true;
}

}  // namespace nqtrace
