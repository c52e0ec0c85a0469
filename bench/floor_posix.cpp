// The floor on POSIX: the system calls a safe append cannot do without, as
// the library makes them: an open that never waits, the check that the file
// takes records (never a FIFO or a socket), the write and the close. The
// caller's code is errno.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bench_os.h"

namespace nqb {

int FloorAppend(const char *path, const void *data, size_t size) {
  int fd =
      open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) return 0;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return 0;
  }
  ssize_t n = write(fd, data, size);
  close(fd);
  return n >= 0 && static_cast<size_t>(n) == size;
}

const PlatformGoals kPlatformGoals = {150, 1.10};

int NQ_CALL CallerCode() { return errno; }

void NQ_CALL SetCallerCode(int code) { errno = code; }

}  // namespace nqb
