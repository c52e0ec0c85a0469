// The file-size limit a program sets itself: records it writes from then
// on are kept to it, as the files it writes are, so the process appends
// them itself instead of handing them to the launcher, which has no limit.
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include "entries/posix_entries.h"
#include "interposer.h"

namespace nqrun {
namespace {

// The result of a call that set a limit of the process's own.
int Limited(int result, int resource) {
  if (result == 0 && resource == RLIMIT_FSIZE) NQP_AppendOwnRecords();
  return result;
}

bool OwnProcess(pid_t pid) { return pid == 0 || pid == getpid(); }

}  // namespace
}  // namespace nqrun

extern "C" {

NQ_EXPORT int setrlimit(__rlimit_resource_t resource,
                        const struct rlimit *limit) noexcept {
  NQ_REAL(setrlimit);
  return nqrun::Limited(real(resource, limit), resource);
}

NQ_EXPORT int setrlimit64(__rlimit_resource_t resource,
                          const struct rlimit64 *limit) noexcept {
  NQ_REAL(setrlimit64);
  return nqrun::Limited(real(resource, limit), resource);
}

NQ_EXPORT int prlimit(pid_t pid, enum __rlimit_resource resource,
                      const struct rlimit *limit, struct rlimit *old) noexcept {
  NQ_REAL(prlimit);
  int r = real(pid, resource, limit, old);
  return limit != nullptr && nqrun::OwnProcess(pid)
             ? nqrun::Limited(r, resource)
             : r;
}

NQ_EXPORT int prlimit64(pid_t pid, enum __rlimit_resource resource,
                        const struct rlimit64 *limit,
                        struct rlimit64 *old) noexcept {
  NQ_REAL(prlimit64);
  int r = real(pid, resource, limit, old);
  return limit != nullptr && nqrun::OwnProcess(pid)
             ? nqrun::Limited(r, resource)
             : r;
}

}  // extern "C"
