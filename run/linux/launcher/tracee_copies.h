// Copies of a traced program's memory, made for one record: the entries
// read the copies, and the lines show the addresses they came from.
#ifndef NQ_RUN_LINUX_LAUNCHER_TRACEE_COPIES_H
#define NQ_RUN_LINUX_LAUNCHER_TRACEE_COPIES_H

#include <stddef.h>
#include <sys/types.h>

namespace nqrun {

// The thread whose memory is read from now on.
void ReadFromThread(pid_t thread);

// Reads size bytes at remote into local; the number read, short where the
// program's memory ends.
size_t ReadMemory(unsigned long remote, void *local, size_t size);

// A zero-filled copy of size bytes at remote (room bytes at least), or
// null for a null remote or no memory. Lives until DropCopies.
char *CopyOf(unsigned long remote, size_t size, size_t room = 0);

// size bytes of the launcher's own, kept and freed with the copies; null
// for no memory.
char *KeepWithCopies(size_t size);

// The address in the program of a pointer into one of the copies; any
// other pointer is the program's own, passed on as it was.
size_t ShownAddress(const void *p);

// Frees every copy: the record is written.
void DropCopies();

template <typename T>
T *CopyOfType(unsigned long remote, size_t count = 1) {
  return reinterpret_cast<T *>(CopyOf(remote, count * sizeof(T)));
}

// The program's pointer as it is, for what no record reads.
template <typename T>
T *Raw(unsigned long remote) {
  return reinterpret_cast<T *>(remote);
}

template <typename T>
bool ReadValue(unsigned long remote, T *out) {
  return remote != 0 && ReadMemory(remote, out, sizeof *out) == sizeof *out;
}

}  // namespace nqrun

#endif  // NQ_RUN_LINUX_LAUNCHER_TRACEE_COPIES_H
