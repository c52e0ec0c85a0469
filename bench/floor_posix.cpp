// The floor on POSIX: the three calls the record format needs, open for
// appending, one write, close, with the library's own open flags. The
// caller's code is errno.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "bench_os.h"

namespace nqb {

int FloorAppend(const char *path, const void *data, size_t size) {
  int fd =
      open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) return 0;
  ssize_t n = write(fd, data, size);
  close(fd);
  return n >= 0 && static_cast<size_t>(n) == size;
}

const PlatformGoals kPlatformGoals = {150, 1.10};

int NQ_CALL CallerCode() { return errno; }

void NQ_CALL SetCallerCode(int code) { errno = code; }

}  // namespace nqb
