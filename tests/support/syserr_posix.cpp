#include <errno.h>

#include "syserr.h"

namespace nqtest {

void SetSystemError(int value) { errno = value; }

bool SystemErrorIs(int value) { return errno == value; }

int CallerCode() { return errno; }

void SetCallerCode(int value) { errno = value; }

}  // namespace nqtest
