// The floor on Windows: the same access and sharing as the library's own
// append, and its check that the file takes records (never a named pipe);
// the caller's code is the last error.
#include <winsock2.h>

#include <windows.h>

#include "bench_os.h"

namespace nqb {

int FloorAppend(const char *path, const void *data, size_t size) {
  HANDLE file =
      CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return 0;
  }
  DWORD written = 0;
  BOOL ok = WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr);
  CloseHandle(file);
  return ok && written == size;
}

const PlatformGoals kPlatformGoals = {30, 1.25};

int NQ_CALL CallerCode() { return static_cast<int>(GetLastError()); }

void NQ_CALL SetCallerCode(int code) { SetLastError(static_cast<DWORD>(code)); }

}  // namespace nqb
