// The command line the tools that turn traces into one output file share:
// TRACE... [-o OUT], and the output never one of the traces.
#ifndef NQ_TOOLS_TRACE_OUTPUT_OPTIONS_H
#define NQ_TOOLS_TRACE_OUTPUT_OPTIONS_H

#include <string>
#include <vector>

namespace nqtrace {

struct OutputOptions {
  std::string output;  // -o, else beside the first trace
  bool help = false;   // -h or --help
  std::vector<std::string> traces;
};

// trace with its extension replaced by extension (".json"), or with it
// added where the name has none.
std::string OutputBeside(const std::string &trace, const char *extension);

// Reads args into o. False, with error said, for an unknown option, -o
// without a name, no trace, standard input without -o, or an output that
// is one of the traces under any name (also the file standard input reads
// or standard output goes to), which opening it would empty.
bool ParseOutputOptions(const std::vector<std::string> &args,
                        const char *extension, OutputOptions &o,
                        std::string &error);

}  // namespace nqtrace

#endif  // NQ_TOOLS_TRACE_OUTPUT_OPTIONS_H
