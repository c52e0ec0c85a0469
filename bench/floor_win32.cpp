// The floor on Windows: the same access and sharing as the library's own
// append.
#include <windows.h>

#include "bench_os.h"

namespace nqb {

int FloorAppend(const char *path, const void *data, size_t size) {
  HANDLE file =
      CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  DWORD written = 0;
  BOOL ok = WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr);
  CloseHandle(file);
  return ok && written == size;
}

}  // namespace nqb
