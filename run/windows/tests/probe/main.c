/* nq_ws2_probe SCENARIO [ARGUMENTS]: the Windows Sockets 2 calls of one
 * scenario, for the tests to trace; each scenario's file says what it does.
 * Nothing runs before the scenario, so that its calls are its own. */
#include <stdio.h>
#include <string.h>

#include "probe.h"

static const struct {
  const char *name;
  int (*run)(int argc, char **argv);
} kScenarios[] = {
    {"echo", EchoServer},
    {"modern", ModernCalls},
    {"start", ProgramStart},
    {"stream", StreamDatagrams},
};

int main(int argc, char **argv) {
  enum { kCount = sizeof kScenarios / sizeof kScenarios[0] };
  for (int i = 0; argc > 1 && i < kCount; ++i)
    if (strcmp(argv[1], kScenarios[i].name) == 0)
      return kScenarios[i].run(argc - 1, argv + 1);
  fprintf(stderr, "usage: %s SCENARIO [ARGUMENTS]; the scenarios:", argv[0]);
  for (int i = 0; i < kCount; ++i) fprintf(stderr, " %s", kScenarios[i].name);
  fputs("\n", stderr);
  return 64; /* EX_USAGE */
}
