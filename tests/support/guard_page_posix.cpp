#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

#include "support/guard_page.h"

namespace nqtest {

namespace {
size_t PageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }
}  // namespace

GuardedBytes::GuardedBytes(size_t size) {
  size_t page = PageSize();
  base_ = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE,
               MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base_ == MAP_FAILED || size > page ||
      mprotect(static_cast<char *>(base_) + page, page, PROT_NONE) != 0) {
    abort();
  }
  data_ = static_cast<unsigned char *>(base_) + page - size;
  memset(data_, 0, size);
}

GuardedBytes::~GuardedBytes() { munmap(base_, 2 * PageSize()); }

}  // namespace nqtest
