// The table of ratios that both front ends print, with each goal beside its
// measured value.
#ifndef NQ_BENCH_REPORT_H
#define NQ_BENCH_REPORT_H

#include <stdio.h>

#include <vector>

namespace nqb {

// Medians of one run; times in nanoseconds per call, rates in records per
// second over all threads.
struct Figures {
  double off_hook;
  double off_empty;
  double no_context;
  double filtered;
  double written;
  double written_floor;
  double dump;
  double dump_floor;
  double records_1;
  double records_2;
  double arithmetic_1;  // the same for Arithmetic(), the machine's scaling
  double arithmetic_2;
};

// Prints the table as markdown to out; returns the number of goals missed.
int PrintRatioTable(FILE *out, const char *title, const Figures &f);

double Median(std::vector<double> values);

}  // namespace nqb

#endif
