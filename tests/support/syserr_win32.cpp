#include <errno.h>
#include <windows.h>

#include "syserr.h"

namespace nqtest {

void SetSystemError(int value) {
  errno = value;
  SetLastError(static_cast<DWORD>(value));
}

bool SystemErrorIs(int value) {
  // Read the last error first: nothing between here and there may touch it.
  DWORD last = GetLastError();
  return last == static_cast<DWORD>(value) && errno == value;
}

int CallerCode() { return static_cast<int>(GetLastError()); }

void SetCallerCode(int value) { SetLastError(static_cast<DWORD>(value)); }

}  // namespace nqtest
