// What the tools need of Windows.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "binary_stdio.h"
#include "file_identity.h"

namespace nqtrace {

void SetBinaryMode(std::FILE *file) { _setmode(_fileno(file), _O_BINARY); }

namespace {

bool IdentifyHandle(HANDLE h, FileIdentity &id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) return false;
  id.volume = info.dwVolumeSerialNumber;
  id.index = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
  return true;
}

}  // namespace

bool IdentifyFile(const std::string &name, FileIdentity &id) {
  // No access asked for, every sharing allowed: only the file's identity
  // is read, whoever else has it open.
  const HANDLE h = CreateFileA(
      name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = IdentifyHandle(h, id);
  CloseHandle(h);
  return ok;
}

bool IdentifyStream(std::FILE *stream, FileIdentity &id) {
  const auto h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  return h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_DISK &&
         IdentifyHandle(h, id);
}

}  // namespace nqtrace
