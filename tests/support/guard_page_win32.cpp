#include <string.h>
#include <windows.h>

#include <cstdlib>

#include "support/guard_page.h"

namespace nqtest {

namespace {
size_t PageSize() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
}
}  // namespace

GuardedBytes::GuardedBytes(size_t size) {
  size_t page = PageSize();
  base_ =
      VirtualAlloc(nullptr, 2 * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  DWORD old = 0;
  if (base_ == nullptr || size > page ||
      !VirtualProtect(static_cast<char *>(base_) + page, page, PAGE_NOACCESS,
                      &old)) {
    abort();
  }
  data_ = static_cast<unsigned char *>(base_) + page - size;
  memset(data_, 0, size);
}

GuardedBytes::~GuardedBytes() { VirtualFree(base_, 0, MEM_RELEASE); }

}  // namespace nqtest
