#include "scale.h"

#include <stdlib.h>

namespace nqstress {

int StressScale() {
  const char *text = getenv("NQ_STRESS_SCALE");
  if (text == nullptr) return 1;
  char *end = nullptr;
  long n = strtol(text, &end, 10);
  if (end == text || *end != '\0' || n < 1) return 1;
  return n > 1000 ? 1000 : static_cast<int>(n);
}

int Scaled(int n) { return n * StressScale(); }

}  // namespace nqstress
