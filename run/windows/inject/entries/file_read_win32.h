// Reading back the bytes a program sent from a disk file (TransmitFile's).
#ifndef NQ_ENTRIES_FILE_READ_WIN32_H
#define NQ_ENTRIES_FILE_READ_WIN32_H

// A header of the entries floor, above the library's: a file below it
// must not include it.
#if NQ_FLOOR < 5
#error "run/windows/inject/entries/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stddef.h>
#include <stdint.h>

namespace nq {

// The size of file when it is a disk file; false for any other handle.
bool DiskFileSize(uintptr_t file, uint64_t *size);
// Reads size bytes of file from offset into buf, leaving the file's
// position where it was and the caller's error code as it was; returns
// the bytes read, fewer at the file's end or when the read failed.
size_t ReadFileAt(uintptr_t file, uint64_t offset, void *buf, size_t size);

}  // namespace nq

#endif
