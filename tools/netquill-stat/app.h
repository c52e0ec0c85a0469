// The whole of netquill-stat behind main(), with its files and streams
// passed in so that tests can run it in-process.
#ifndef NQ_TOOLS_NETQUILL_STAT_APP_H
#define NQ_TOOLS_NETQUILL_STAT_APP_H

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "byte_source.h"

namespace nqstat {

using TraceOpener = std::function<std::unique_ptr<nqtrace::ByteSource>(
    const std::string &name, std::string &why)>;

// Returns the exit status: 0 success, 1 a file could not be opened or read
// (the others are still summarised), 2 bad usage.
int RunStat(const std::vector<std::string> &args, const TraceOpener &open,
            std::ostream &out, std::ostream &err);

}  // namespace nqstat

#endif  // NQ_TOOLS_NETQUILL_STAT_APP_H
