// The tests compile the library's objects in, so they attach it themselves.
#include <gtest/gtest.h>

#include "control/frame.h"

int main(int argc, char **argv) {
  nq::LibraryAttach();
  ::testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  nq::LibraryDetach(true);
  return result;
}
