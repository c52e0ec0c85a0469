#include <fcntl.h>
#include <io.h>

#include "binary_stdio.h"

namespace nqtrace {

void SetBinaryMode(std::FILE *file) { _setmode(_fileno(file), _O_BINARY); }

}  // namespace nqtrace
