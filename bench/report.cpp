#include "report.h"

#include <algorithm>

#include "bench_os.h"

namespace nqb {
namespace {

struct Goal {
  const char *name;
  const char *measured;  // what is compared, in words
  double value;
  double limit;
  bool at_least;  // the value must reach the limit instead of stay below
  const char *unit;
};

}  // namespace

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int PrintRatioTable(FILE *out, const char *title, const Figures &f) {
  const Goal goals[] = {
      {"off", "hook / empty exported call", f.off_hook / f.off_empty, 1.5,
       false, "x"},
      {"no context", "hook, ns", f.no_context, kPlatformGoals.no_context_ns,
       false, " ns"},
      {"no context", "hook / written record", f.no_context / f.written,
       1.0 / 20, false, ""},
      {"filtered", "hook / written record", f.filtered / f.written, 1.0 / 20,
       false, ""},
      {"written", "hook / append floor", f.written / f.written_floor,
       kPlatformGoals.written_ratio, false, "x"},
      {"dump 64 KiB", "hook / append floor", f.dump / f.dump_floor, 1.5, false,
       "x"},
      {"threads", "records/s, 2 threads / 1", f.records_2 / f.records_1, 1.6,
       true, "x"},
  };
  fprintf(out, "\n%s\n\n", title);
  fprintf(out, "| case | median | yardstick (median) |\n|---|---|---|\n");
  fprintf(out, "| off | %.2f ns | empty exported call %.2f ns |\n", f.off_hook,
          f.off_empty);
  fprintf(out, "| no context | %.1f ns | written record %.0f ns |\n",
          f.no_context, f.written);
  fprintf(out, "| filtered | %.1f ns | written record %.0f ns |\n", f.filtered,
          f.written);
  fprintf(out, "| written | %.0f ns | append floor %.0f ns |\n", f.written,
          f.written_floor);
  fprintf(out, "| dump 64 KiB | %.1f us | append floor %.1f us |\n",
          f.dump / 1000, f.dump_floor / 1000);
  fprintf(out,
          "| threads | %.0f records/s (2 threads) | %.0f records/s (1) |\n",
          f.records_2, f.records_1);
  double machine = f.arithmetic_2 / f.arithmetic_1;
  fprintf(out,
          "| (machine) | 2 threads of arithmetic: %.2fx of 1 | "
          "near 2x with both cores free; far below, another program held "
          "one and this run's threads case does not count |\n",
          machine);
  fprintf(
      out,
      "\n| goal | measured | value | goal | met |\n|---|---|---|---|---|\n");
  int missed = 0;
  for (const Goal &g : goals) {
    bool met = g.at_least ? g.value >= g.limit : g.value <= g.limit;
    if (!met) ++missed;
    fprintf(out, "| %s | %s | %.4g%s | %s %.4g%s | %s |\n", g.name, g.measured,
            g.value, g.unit, g.at_least ? ">=" : "<=", g.limit, g.unit,
            met ? "yes" : "NO");
  }
  fprintf(out, "\n%d of %zu goals missed\n", missed,
          sizeof goals / sizeof goals[0]);
  return missed;
}

}  // namespace nqb
