// The tools' shared command line.
#include "output_options.h"

#include <cstdio>

#include "file_identity.h"

namespace nqtrace {
namespace {

std::string StreamName(const std::string &name, const char *stream) {
  return name == "-" ? stream : name;
}

}  // namespace

std::string OutputBeside(const std::string &trace, const char *extension) {
  const std::size_t slash = trace.find_last_of("/\\");
  const std::size_t dot = trace.rfind('.');
  const bool has_ext = dot != std::string::npos && dot != 0 &&
                       (slash == std::string::npos || dot > slash + 1);
  return (has_ext ? trace.substr(0, dot) : trace) + extension;
}

bool ParseOutputOptions(const std::vector<std::string> &args,
                        const char *extension, OutputOptions &o,
                        std::string &error) {
  bool options = true;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    if (options && (a == "-h" || a == "--help")) {
      o.help = true;
    } else if (options && a == "-o") {
      if (++i == args.size()) {
        error = "-o needs a file name";
        return false;
      }
      o.output = args[i];
    } else if (options && a == "--") {
      options = false;
    } else if (options && a.size() > 1 && a[0] == '-') {
      error = "unknown option " + a;
      return false;
    } else {
      o.traces.push_back(a);
    }
  }
  if (o.help) return true;
  if (o.traces.empty()) {
    error = "no trace given";
    return false;
  }
  for (const std::string &t : o.traces) {
    if (t == "-" && o.output.empty()) {
      error = "standard input as trace needs -o";
      return false;
    }
    if (t != "-" && t == o.output) {
      error =
          "the output " + t + " is the trace " + t + " itself; give another -o";
      return false;
    }
  }
  if (o.output.empty()) o.output = OutputBeside(o.traces[0], extension);
  // Opening the output empties it: it must not be one of the traces under
  // another name (./t.log, a link, a trace named as the output would be without
  // -o), nor the file standard input reads or standard output appends to.
  FileIdentity out_id, trace_id;
  const bool out_known = o.output == "-" ? IdentifyStream(stdout, out_id)
                                         : IdentifyFile(o.output, out_id);
  for (const std::string &t : o.traces) {
    const bool known =
        t == "-" ? IdentifyStream(stdin, trace_id) : IdentifyFile(t, trace_id);
    if (out_known && known && trace_id == out_id) {
      error = "the output " + StreamName(o.output, "standard output") +
              " is the trace " + StreamName(t, "standard input") +
              " itself; give another -o";
      return false;
    }
  }
  return true;
}

}  // namespace nqtrace
