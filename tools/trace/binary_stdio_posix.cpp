#include "binary_stdio.h"

namespace nqtrace {

// POSIX streams carry bytes unchanged.
void SetBinaryMode(std::FILE *) {}

}  // namespace nqtrace
