// The benchmark cases, listed once for both front ends (Google Benchmark on
// the host, the plain harness under Wine). A case is timed as a batch of n
// calls between its Begin and its End, on each of its threads.
#ifndef NQ_BENCH_CASES_H
#define NQ_BENCH_CASES_H

#include <string>
#include <vector>

#include "report.h"

namespace nqb {

struct BenchCase {
  const char *name;                        // as the tables print it
  int threads;                             // run at once, one batch each
  long iterations;                         // Google Benchmark's, 0: by time
  double Figures::*figure;                 // where the median goes
  bool rate;                               // figure in calls per second
  void (*begin)(int thread);               // before the batch, untimed
  long (*run)(int thread, long n);         // the n timed calls
  std::string (*end)(int thread, long n);  // after: what went wrong, or ""
};

// Every case, in the order of the tables. Call PrepareCases first.
const std::vector<BenchCase> &Cases();

// Installs the error bridge and captures the records the cases check the
// trace files against.
void PrepareCases();

}  // namespace nqb

#endif
