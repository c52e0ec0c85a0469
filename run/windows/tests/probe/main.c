/* nq_ws2_probe SCENARIO [ARGUMENTS]: the Windows Sockets 2 calls of one
 * scenario, for the tests to trace; each scenario's file says what it does.
 * Nothing runs before the scenario, so that its calls are its own. */
#include "probe.h"
#include "probe_main.h"

static const struct ProbeScenario kScenarios[] = {
    {"echo", EchoServer},
    {"modern", ModernCalls},
    {"start", ProgramStart},
    {"stream", StreamDatagrams},
};

int main(int argc, char **argv) {
  return RunProbe(kScenarios, sizeof kScenarios / sizeof kScenarios[0], argc,
                  argv);
}
