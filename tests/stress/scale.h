// How much work a stress test does. CI runs each test at scale 1, a few
// seconds on two cores; NQ_STRESS_SCALE=n in the environment multiplies the
// iteration counts for longer runs on a developer's machine.
#ifndef NQ_TESTS_STRESS_SCALE_H
#define NQ_TESTS_STRESS_SCALE_H

namespace nqstress {

// The factor from NQ_STRESS_SCALE: 1 when unset or unreadable, at most 1000.
int StressScale();

// n times the factor.
int Scaled(int n);

}  // namespace nqstress

#endif
