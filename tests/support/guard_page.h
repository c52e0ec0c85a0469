// Bytes that end exactly where an inaccessible page begins, so that a read
// one byte past them faults even without AddressSanitizer.
#ifndef NQ_TESTS_SUPPORT_GUARD_PAGE_H
#define NQ_TESTS_SUPPORT_GUARD_PAGE_H

#include <stddef.h>

namespace nqtest {

class GuardedBytes {
 public:
  // size bytes (at most a page), zeroed, the last one just before the guard.
  explicit GuardedBytes(size_t size);
  ~GuardedBytes();
  GuardedBytes(const GuardedBytes &) = delete;
  GuardedBytes &operator=(const GuardedBytes &) = delete;

  unsigned char *data() const { return data_; }
  char *chars() const { return reinterpret_cast<char *>(data_); }

 private:
  void *base_;  // the readable page and the guard after it
  unsigned char *data_;
};

}  // namespace nqtest

#endif
