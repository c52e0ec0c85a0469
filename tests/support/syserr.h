// The calling thread's system error state, which a traced call must leave
// exactly as the socket call left it: errno on POSIX, errno and the last
// error value on Windows.
#ifndef NQ_TESTS_SUPPORT_SYSERR_H
#define NQ_TESTS_SUPPORT_SYSERR_H

namespace nqtest {

// Sets every part of the calling thread's system error state to value.
void SetSystemError(int value);

// Whether every part of it still holds value.
bool SystemErrorIs(int value);

// The code a socket call leaves for its caller, as the socket library's
// own get and set functions read and write it: the last error value on
// Windows, errno elsewhere. Error callbacks of a traced program are these.
int CallerCode();
void SetCallerCode(int value);

}  // namespace nqtest

#endif
