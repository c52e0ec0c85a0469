// Reading back the bytes a program sent from a disk file (TransmitFile's),
// behind the program's back: its file position stays where it was.
#include <string.h>
#include <windows.h>

#include "entries/file_read_win32.h"
#include "platform/os.h"

namespace nq {
namespace {

// Only this read needs these calls: looked up when it is made, so that the
// import table every program loads stays the short one.
struct FileCalls {
  decltype(&::ReadFile) read;
  decltype(&::SetFilePointerEx) seek;
  decltype(&::CreateEventA) event;
  decltype(&::GetOverlappedResult) result;
};

bool Found(FileCalls *c) {
  static const char kNames[] =
      "ReadFile\0SetFilePointerEx\0CreateEventA\0GetOverlappedResult";
  void *found[4];
  const char *name = kNames;
  for (void *&f : found) {
    f = LoadedModuleFunction("kernel32.dll", name);
    if (f == nullptr) return false;
    name += strlen(name) + 1;
  }
  memcpy(c, found, sizeof *c);
  return true;
}

}  // namespace

bool DiskFileSize(uintptr_t file, uint64_t *size) {
  HANDLE h = reinterpret_cast<HANDLE>(file);
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info))
    return false;
  *size = static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
  return true;
}

// A read at an offset of its own: a handle opened for overlapped I/O
// completes it later, on an event whose low bit keeps the completion off
// any completion port the program tied the file to; on any other handle it
// reads at once and moves the position, which is put back.
size_t ReadFileAt(uintptr_t file, uint64_t offset, void *buf, size_t size) {
  FileCalls call;
  if (!Found(&call)) return 0;
  HANDLE h = reinterpret_cast<HANDLE>(file);
  DWORD error = GetLastError();
  LARGE_INTEGER zero = {}, position;
  bool placed = call.seek(h, zero, &position, FILE_CURRENT) != FALSE;
  HANDLE done = call.event(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED ov = {};
  ov.Offset = static_cast<DWORD>(offset);
  ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
  ov.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(done) | 1);
  DWORD want = static_cast<DWORD>(size), got = 0;
  if (done == nullptr || want != size ||
      (!call.read(h, buf, want, &got, &ov) &&
       (GetLastError() != ERROR_IO_PENDING ||
        !call.result(h, &ov, &got, TRUE))))
    got = 0;
  if (done != nullptr) CloseHandle(done);
  if (placed) call.seek(h, position, nullptr, FILE_BEGIN);
  SetLastError(error);
  return got;
}

}  // namespace nq
