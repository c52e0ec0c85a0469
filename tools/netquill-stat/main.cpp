#include <iostream>
#include <string>
#include <vector>

#include "app.h"
#include "byte_source.h"

int main(int argc, char **argv) {
  // Output goes through cout alone (input is read with stdio), so the
  // slower synchronised mode buys nothing for a long --errors listing.
  std::ios::sync_with_stdio(false);
  const std::vector<std::string> args(argv + 1, argv + argc);
  const int status =
      nqstat::RunStat(args, nqtrace::OpenTrace, std::cout, std::cerr);
  std::cout.flush();
  if (!std::cout) {
    std::cerr << "netquill-stat: cannot write the output\n";
    return 1;
  }
  return status;
}
