// Other processes for a test: copies of the running test program that run
// ChildMain.
//
// On POSIX a child is a fork of the test; on Windows it is a new run of the
// same program with "--child" before its arguments, which the program's own
// main hands to ChildMain.
#ifndef NQ_TESTS_STRESS_SPAWN_H
#define NQ_TESTS_STRESS_SPAWN_H

#include <stdint.h>

#include <string>
#include <vector>

namespace nqstress {

// Defined by the test program: what a child does with its arguments. The
// result is the child's exit code.
int ChildMain(const std::vector<std::string> &args);

// Starts a child; returns its handle, or -1 when none could be started.
intptr_t SpawnChild(const std::vector<std::string> &args);

// Waits for a child; returns its exit code, or -1 when it did not exit
// normally. A child still running after two minutes is killed (-1), so a
// hang fails the test at once rather than at the test runner's time limit.
int WaitChild(intptr_t child);

// Gives the child its own open trace file at path, as netquill-run gives
// each process it traces; false when the library refused it.
bool HoldTraceFile(const std::string &path);

}  // namespace nqstress

#endif
