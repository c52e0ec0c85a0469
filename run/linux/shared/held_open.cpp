#include "held_open.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nqrun {

int OpenHeldFile(const char *path, bool close_on_exec) {
  // O_NONBLOCK: a FIFO without a reader would hold the program's start.
  int fd =
      open(path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  struct stat st;
  struct rlimit files;
  int high = -1;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
      fcntl(fd, F_SETFL, O_APPEND) == 0 &&
      getrlimit(RLIMIT_NOFILE, &files) == 0) {
    rlim_t limit = files.rlim_cur < 1024 ? files.rlim_cur : 1024;
    high = fcntl(fd, close_on_exec ? F_DUPFD_CLOEXEC : F_DUPFD,
                 static_cast<int>(limit / 4 * 3));
  }
  close(fd);
  return high;
}

}  // namespace nqrun
