// Whether two names lead to one file: through a link, "./", another case
// of the same name on Windows, or the same name twice. Compared by the
// system's identity of the file (device and inode, or volume serial
// number and file index on Windows), never by the names' text.
#ifndef NQ_TOOLS_TRACE_FILE_IDENTITY_H
#define NQ_TOOLS_TRACE_FILE_IDENTITY_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace nqtrace {

struct FileIdentity {
  std::uint64_t volume = 0;  // st_dev, or the volume serial number
  std::uint64_t index = 0;   // st_ino, or the file index
};

inline bool operator==(const FileIdentity &a, const FileIdentity &b) {
  return a.volume == b.volume && a.index == b.index;
}

// False when name leads to no existing file (or it cannot be examined).
bool IdentifyFile(const std::string &name, FileIdentity &id);

// The file an open stream (standard input or output) reads or writes.
// False unless it is a regular file: a terminal or pipe on both sides
// loses nothing.
bool IdentifyStream(std::FILE *stream, FileIdentity &id);

}  // namespace nqtrace

#endif  // NQ_TOOLS_TRACE_FILE_IDENTITY_H
