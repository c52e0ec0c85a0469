// The services' appends as netquill-run's entries make them.
#include "entries/entries_append.h"

#include "entries/held_file.h"
#include "entries/lost_records.h"
#include "entries/ring_records.h"
#include "platform/os.h"

namespace nq {
namespace {

// The appends the entries went in front of: the path's.
OsServices g_by_path;

// A held file under a size limit is appended by path, where the limit is
// kept.
int HeldOrByPath(const char *path, const void *data, size_t size) {
  int result = 0;
  // Under a size limit the process appends itself, where the limit holds.
  if (!FileSizeLimited() && PutInRing(path, data, size)) return 1;
  if (FileSizeLimited() || !AppendHeld(path, data, size, &result))
    result = g_by_path.append(path, data, size);
  if (__builtin_expect(result != 1, 0)) NoteLostRecord();
  return result;
}

// The default file is never held.
int OwnedByPath(const char *path, const void *data, size_t size) {
  int result = g_by_path.append_owned(path, data, size);
  if (__builtin_expect(result != 1, 0)) NoteLostRecord();
  return result;
}

}  // namespace

void UseEntriesAppend() {
  if (g_os.append == HeldOrByPath) return;
  g_by_path = g_os;
  // The appends are read without a lock: they are stored last, and each
  // whole, after the table they go on to.
  __atomic_store_n(&g_os.append_owned, &OwnedByPath, __ATOMIC_RELEASE);
  __atomic_store_n(&g_os.append, &HeldOrByPath, __ATOMIC_RELEASE);
}

}  // namespace nq
