// The whole of netquill-timeline behind main(), so that tests run it
// in-process on files.
#ifndef NQ_TOOLS_NETQUILL_TIMELINE_APP_H
#define NQ_TOOLS_NETQUILL_TIMELINE_APP_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace nqtimeline {

extern const char *const kUsage;

// The output name when -o is not given: the first trace's name with its
// extension (if any) replaced by .json.
std::string DefaultOutput(const std::string &trace);

// Returns the exit status: 0 success, 1 a trace could not be opened or
// read or the output not written (the rest is still converted), 2 bad
// usage. Messages go to err; "-o -" writes to standard output.
int RunTimeline(const std::vector<std::string> &args, std::ostream &err);

}  // namespace nqtimeline

#endif  // NQ_TOOLS_NETQUILL_TIMELINE_APP_H
