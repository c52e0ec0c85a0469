/* nq_probe SCENARIO [ARGUMENTS]: the socket calls of one scenario, for the
 * tests to trace; each scenario's file says what it does. Nothing runs
 * before the scenario, so that its descriptors and calls are its own. */
#include "probe.h"
#include "probe_main.h"

static const struct ProbeScenario kScenarios[] = {
    {"echo", AttachEcho},
    {"errno", ErrnoSeen},
    {"every_call", EveryCall},
    {"exchange", Exchange},
    {"fortified_recv", FortifiedRecv},
    {"hostile", HostileCalls},
    {"pause", AttachPause},
    {"process", Processes},
    {"short_address", ShortAddress},
};

int main(int argc, char **argv) {
  return RunProbe(kScenarios, sizeof kScenarios / sizeof kScenarios[0], argc,
                  argv);
}
