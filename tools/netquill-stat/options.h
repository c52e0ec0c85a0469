// Command-line options of netquill-stat.
#ifndef NQ_TOOLS_NETQUILL_STAT_OPTIONS_H
#define NQ_TOOLS_NETQUILL_STAT_OPTIONS_H

#include <cstddef>
#include <string>
#include <vector>

namespace nqstat {

struct Options {
  bool help = false;
  bool errors_only = false;          // --errors
  bool json = false;                 // --json
  std::size_t top = 5;               // --top N
  std::vector<std::string> modules;  // --module NAME, repeatable
  std::vector<std::string> files;    // "-" is stdin; none means stdin
};

// Reads the arguments after the program name. Returns false with a message
// in `error` for bad usage.
bool ParseOptions(const std::vector<std::string> &args, Options &options,
                  std::string &error);

extern const char *const kUsage;

}  // namespace nqstat

#endif  // NQ_TOOLS_NETQUILL_STAT_OPTIONS_H
