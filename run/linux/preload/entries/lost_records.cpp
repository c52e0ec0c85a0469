// The shared count of lost records: a few bytes of memory that netquill-run
// and every process it traces map, so that each process adds its own losses
// where the launcher reads them after the program has ended.
#include "entries/lost_records.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <atomic>

#include "lost_count.h"

namespace nq {
namespace {

static_assert(sizeof(std::atomic<uint64_t>) == sizeof(uint64_t) &&
                  std::atomic<uint64_t>::is_always_lock_free,
              "the count is shared with other processes as a plain word");

std::atomic<std::atomic<uint64_t> *> g_count{nullptr};

// The launcher seals its count against any change of size: a number the
// program reused for a file of its own is never such a count, so nothing
// of the program's is ever mapped and written.
bool IsLaunchersCount(int descriptor) {
  constexpr int kSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL;
  struct stat st;
  return fcntl(descriptor, F_GET_SEALS) == kSeals &&
         fstat(descriptor, &st) == 0 && S_ISREG(st.st_mode) &&
         st.st_size == static_cast<off_t>(sizeof(NQP_LostRecords));
}

}  // namespace

bool CountLostIn(int descriptor) {
  if (descriptor < 0) return false;
  int saved = errno;
  void *at = IsLaunchersCount(descriptor)
                 ? mmap(nullptr, sizeof(NQP_LostRecords),
                        PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0)
                 : MAP_FAILED;
  errno = saved;
  if (at == MAP_FAILED) return false;
  auto *shared = static_cast<NQP_LostRecords *>(at);
  if (memcmp(shared->magic, NQP_LOST_MAGIC, sizeof shared->magic) != 0) {
    munmap(at, sizeof(NQP_LostRecords));
    errno = saved;
    return false;
  }
  CountLostAt(shared);
  errno = saved;
  return true;
}

void CountLostAt(NQP_LostRecords *count) {
  // An earlier count stays mapped: another thread may be adding to it.
  g_count.store(reinterpret_cast<std::atomic<uint64_t> *>(&count->lost));
}

void NoteLostRecord() {
  std::atomic<uint64_t> *count = g_count.load(std::memory_order_relaxed);
  if (count != nullptr) count->fetch_add(1, std::memory_order_relaxed);
}

}  // namespace nq
