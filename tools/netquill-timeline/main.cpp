#include <iostream>
#include <string>
#include <vector>

#include "app.h"

int main(int argc, char **argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return nqtimeline::RunTimeline(args, std::cerr);
}
