// main of a test program whose children are runs of the same program: with
// "--child" first, it does the child's part instead of running the tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/frame.h"
#include "spawn.h"

int main(int argc, char **argv) {
  nq::LibraryAttach();
  int result;
  if (argc > 1 && std::string(argv[1]) == "--child") {
    result =
        nqstress::ChildMain(std::vector<std::string>(argv + 2, argv + argc));
  } else {
    ::testing::InitGoogleTest(&argc, argv);
    result = RUN_ALL_TESTS();
  }
  nq::LibraryDetach(true);
  return result;
}
