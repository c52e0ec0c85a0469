/* The main of a probe program: SCENARIO [ARGUMENTS] runs the scenario of
 * that name from the probe's table, with its arguments; anything else says
 * the usage and the scenarios. */
#ifndef NQ_TESTS_SUPPORT_PROBE_MAIN_H
#define NQ_TESTS_SUPPORT_PROBE_MAIN_H

#include <stdio.h>
#include <string.h>

struct ProbeScenario {
  const char *name;
  int (*run)(int argc, char **argv);
};

static inline int RunProbe(const struct ProbeScenario *table, int count,
                           int argc, char **argv) {
  for (int i = 0; argc > 1 && i < count; ++i)
    if (strcmp(argv[1], table[i].name) == 0)
      return table[i].run(argc - 1, argv + 1);
  fprintf(stderr, "usage: %s SCENARIO [ARGUMENTS]; the scenarios:", argv[0]);
  for (int i = 0; i < count; ++i) fprintf(stderr, " %s", table[i].name);
  fputs("\n", stderr);
  return 64; /* EX_USAGE */
}

#endif
