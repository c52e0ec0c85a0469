// The tests compile the library's objects in, so they attach it themselves.
#include <gtest/gtest.h>

#include "control/frame.h"
#include "support/thread_end.h"

int main(int argc, char **argv) {
  nq::LibraryAttach();
  nqtest::WatchThreadEnds();
  ::testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  nq::LibraryDetach(true);
  return result;
}
