// What every fuzz target shares: the library set up once with the calling
// thread tracing into a temporary file, the records it appends caught on
// their way to that file, and a hard stop when a target finds a fault.
#ifndef NQ_TESTS_FUZZ_FUZZ_SINK_H
#define NQ_TESTS_FUZZ_FUZZ_SINK_H

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/os.h"

namespace nqfuzz {

// Once per process: routes the library's appends through the sink and its
// clock through fixed values, installs the error callbacks and enables
// tracing on the calling thread. The file is cut back when it reaches a few
// MiB, so a long run does not fill the disk.
void SetUp();

// The records appended since the last call, each as one append.
std::vector<std::string> TakeRecords();

// Makes the next appends fail (a full disk) or succeed again.
void FailAppends(bool fail);

// The tick and local time the library sees from now on.
void SetClock(uint32_t tick, const nq::LocalTime &time);

// What the get-error callback reports, and what set-error was last handed
// (-1 before any call) with its count of calls.
void SetCallerError(int code);
int HandedBack();
int HandBacks();
void ResetHandBacks();

// Reports a fault with what was expected and found, and aborts, so that
// the fuzzer keeps the input.
[[noreturn]] void Fail(const char *what, const std::string &want = "",
                       const std::string &got = "");

// The text of a dump record as the writer must lay it out: the dump lines
// of bytes, each indented by indent spaces.
std::string DumpText(size_t indent, const uint8_t *bytes, size_t n);

}  // namespace nqfuzz

#endif
