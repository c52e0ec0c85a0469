// The test programs compile the library in, so they stand in for the
// system's notice of a thread's end, as they stand in for its load.
#ifndef NQ_TESTS_SUPPORT_THREAD_END_H
#define NQ_TESTS_SUPPORT_THREAD_END_H

namespace nqtest {

// Makes every thread that ends in the program call nq::ThreadEnding(), as
// the shipped library's entry point does for it.
void WatchThreadEnds();

}  // namespace nqtest

#endif
