// The launcher's growable arrays of plain records: the tracees, the
// processes and threads seen, one record's copies.
#ifndef NQ_RUN_LINUX_LAUNCHER_GROW_ARRAY_H
#define NQ_RUN_LINUX_LAUNCHER_GROW_ARRAY_H

#include <stdlib.h>

namespace nqrun {

// Room for one more of *items, which hold count in room: doubled (16 at
// first) when full. False, and *items as they were, for no memory.
template <typename T>
bool GrowArray(T **items, size_t count, size_t *room) {
  if (count < *room) return true;
  size_t more = *room == 0 ? 16 : *room * 2;
  void *grown = realloc(*items, more * sizeof **items);
  if (grown == nullptr) return false;
  *items = static_cast<T *>(grown);
  *room = more;
  return true;
}

}  // namespace nqrun

#endif  // NQ_RUN_LINUX_LAUNCHER_GROW_ARRAY_H
