#include "privilege.h"

namespace nqstress {

// Windows obeys a file's read-only attribute for every user.
int RunUnprivileged(int (*fn)(const std::string &), const std::string &arg) {
  return fn(arg);
}

}  // namespace nqstress
