// Where a function of a shared object lies in another process: its
// symbol's offset from the object's file, and the object's load address
// from the process's map.
#ifndef NQ_DROPIN_NETQUILL_RUN_ELF_SYMBOL_H
#define NQ_DROPIN_NETQUILL_RUN_ELF_SYMBOL_H

#include <stdint.h>
#include <sys/types.h>

namespace nqrun {

// The offset from the load address of the dynamic symbol name (its default
// version, where it has several) in the ELF file at path; false when the
// file has none.
bool SymbolOffset(const char *path, const char *name, uint64_t *offset);

// The first mapping in /proc/pid/maps of a file whose name ends in suffix
// ("/libc.so.6"), or equals it when exact: its load address and its path
// (PATH_MAX bytes). False when no mapping matches; errno is EACCES when
// the map cannot be read.
bool FindMapping(pid_t pid, const char *suffix, bool exact, uint64_t *base,
                 char *path);

// The ELF class of the process's program: 32 or 64, 0 when unreadable.
int ProgramClass(pid_t pid);

}  // namespace nqrun

#endif  // NQ_DROPIN_NETQUILL_RUN_ELF_SYMBOL_H
