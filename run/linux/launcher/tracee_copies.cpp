// The copies of one record, read with process_vm_readv: a plain array of
// blocks, freed together once the record is written.
#include "tracee_copies.h"

#include <stdlib.h>
#include <sys/uio.h>

#include "grow_array.h"

namespace nqrun {
namespace {

struct Copy {
  char *local;
  size_t size;
  unsigned long remote;
};

Copy *g_copies;
size_t g_copy_count, g_copy_room;
pid_t g_reading;  // the thread whose memory the copies are of

// A block of size bytes (room at least 1) that stands for remote, kept
// with the copies; null for no memory.
char *Keep(size_t size, unsigned long remote, bool mapped) {
  if (!GrowArray(&g_copies, g_copy_count, &g_copy_room)) return nullptr;
  char *local = static_cast<char *>(calloc(1, size == 0 ? 1 : size));
  if (local == nullptr) return nullptr;
  // A block of the launcher's own maps to itself.
  unsigned long at = mapped ? remote : reinterpret_cast<unsigned long>(local);
  g_copies[g_copy_count++] = Copy{local, size, at};
  return local;
}

}  // namespace

void ReadFromThread(pid_t thread) { g_reading = thread; }

size_t ReadMemory(unsigned long remote, void *local, size_t size) {
  size_t done = 0;
  while (done < size) {
    iovec here = {static_cast<char *>(local) + done, size - done};
    iovec there = {reinterpret_cast<void *>(remote + done), size - done};
    ssize_t n = process_vm_readv(g_reading, &here, 1, &there, 1, 0);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

char *CopyOf(unsigned long remote, size_t size, size_t room) {
  if (remote == 0) return nullptr;
  char *local = Keep(room < size ? size : room, remote, true);
  if (local != nullptr) ReadMemory(remote, local, size);
  return local;
}

char *KeepWithCopies(size_t size) { return Keep(size, 0, false); }

size_t ShownAddress(const void *p) {
  const char *at = static_cast<const char *>(p);
  for (size_t i = 0; i < g_copy_count; ++i) {
    const Copy &c = g_copies[i];
    if (at >= c.local && at <= c.local + c.size)
      return c.remote + static_cast<size_t>(at - c.local);
  }
  return reinterpret_cast<size_t>(p);
}

void DropCopies() {
  for (size_t i = 0; i < g_copy_count; ++i) free(g_copies[i].local);
  g_copy_count = 0;
}

}  // namespace nqrun
