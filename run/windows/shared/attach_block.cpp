// The settings block shared by NQINJECT.DLL and netquill-run -p.
#include "attach_block.h"

#include <string.h>

#include "remote_load.h"

namespace nqrun {

void BlockName(DWORD process_id, wchar_t *name) {
  static const wchar_t kPrefix[] = L"Local\\NetQuillAttach-";
  size_t n = sizeof kPrefix / sizeof kPrefix[0] - 1;
  memcpy(name, kPrefix, n * sizeof(wchar_t));
  AppendNumber(process_id, name + n);
}

AttachBlock *MapBlock(DWORD process_id, bool create, HANDLE *section,
                      bool *made) {
  wchar_t name[kBlockNameSize];
  BlockName(process_id, name);
  *made = false;
  HANDLE h = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name);
  if (h == nullptr && create) {
    // A new section's pages are zero: no settings, generation 0, off.
    h = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                           sizeof(AttachBlock), name);
    *made = h != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
  }
  if (h == nullptr) return nullptr;
  void *view = MapViewOfFile(h, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0,
                             sizeof(AttachBlock));
  AttachBlock *block = static_cast<AttachBlock *>(view);
  if (block != nullptr && *made) block->size = sizeof *block;
  if (block == nullptr || block->size != sizeof *block) {
    if (block != nullptr) UnmapViewOfFile(block);
    CloseHandle(h);
    return nullptr;
  }
  *section = h;
  return block;
}

void Publish(AttachBlock *block) { InterlockedIncrement(&block->generation); }

}  // namespace nqrun
