// The fuzz targets compile the library's objects in, so they attach it
// themselves before the first input.
#include "control/frame.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  nq::LibraryAttach();
  return 0;
}
