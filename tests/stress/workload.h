// What the stress threads do, and what each of them must leave in the trace.
//
// Every thread that traces is an owner with a number: tracer k makes socket
// calls through the hooks (a send with its dump, a refused connect, a name
// lookup, now and then a failed receive), each carrying k and the record's
// index in its arguments, addresses and bytes, so that every line and every
// dump in the shared file names the thread that wrote it. Toggler j switches
// its trace on and off again and again around them. Each owner's first
// record after its start banner is a note with its system thread id, so the
// banners, which carry only that id, can be told apart.
#ifndef NQ_TESTS_STRESS_WORKLOAD_H
#define NQ_TESTS_STRESS_WORKLOAD_H

#include <stdint.h>

#include <string>
#include <vector>

namespace nqstress {

// The error code of tracer k's failed calls: its own for every tracer, and
// for every fourth a name-resolution code, so its failures are warnings.
int TracerErrorCode(int k);

// Installs one of two pairs of error callbacks (pair 0 or 1). Both keep the
// caller's code in a thread_local and disturb it once they have read it, as
// file output can, so only a hand-back of the right code restores it.
void InstallErrorHooks(int pair);

// How often the callbacks of a pair have been called.
long ErrorHookCalls(int pair);

// Tracer k on the calling thread: enable with dumps, the note, iterations
// rounds of calls, disable. Checks every hook's result, the caller's error
// code and the system error state after each call; returns the number of
// faults and describes the first in *why.
int RunTracer(int k, int iterations, const std::string &file, std::string *why);

// Toggler j: cycles of enable, note, nested enable, one call, two disables,
// then calls with tracing off, which must write nothing.
int RunToggler(int j, int cycles, const std::string &file, std::string *why);

// The note of a thread that traces only to frame others (a parent process).
int RunParentNote(std::string *why);

// Which owner a record belongs to: "tracer k", "toggler j", "parent", ""
// for a banner (told by its thread id), or "stray" for a line no owner
// writes. text is a text record after its tag.
std::string OwnerOfText(const std::string &text);
std::string OwnerOfDump(const std::vector<unsigned char> &bytes);

// Reads an owner's note; false if text is none.
bool ParseNote(const std::string &text, std::string *owner, uint32_t *tid);

// Compares an owner's records, in file order, with what it must have
// written. The thread id and buffer address are those of its note; when
// want_tid is not 0 the note must also carry that id. Returns "" when they
// match, else the first difference.
std::string CheckTracer(int k, int iterations,
                        const std::vector<std::string> &got,
                        uint32_t want_tid = 0);
std::string CheckToggler(int j, int cycles, const std::vector<std::string> &got,
                         uint32_t want_tid = 0);
std::string CheckParent(const std::vector<std::string> &got);

}  // namespace nqstress

#endif
