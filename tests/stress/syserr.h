// The calling thread's system error state, which a traced call must leave
// exactly as the socket call left it: errno on POSIX, errno and the last
// error value on Windows.
#ifndef NQ_TESTS_STRESS_SYSERR_H
#define NQ_TESTS_STRESS_SYSERR_H

namespace nqstress {

// Sets every part of the calling thread's system error state to value.
void SetSystemError(int value);

// Whether every part of it still holds value.
bool SystemErrorIs(int value);

}  // namespace nqstress

#endif
