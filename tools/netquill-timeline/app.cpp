#include "app.h"

#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <memory>

#include "banner.h"
#include "binary_stdio.h"
#include "byte_source.h"
#include "file_identity.h"
#include "output_options.h"
#include "timeline.h"
#include "trace_events.h"

namespace nqtimeline {

const char *const kUsage =
    "usage: netquill-timeline [-o OUT.json] TRACE...\n"
    "  Writes the calls of the traces as a timeline in the Trace Event\n"
    "  Format, for https://ui.perfetto.dev or chrome://tracing: a track per\n"
    "  thread and per socket. TRACE '-' is standard input (needs -o);\n"
    "  '-o -' writes to standard output; without -o the timeline goes\n"
    "  beside the first trace, its extension replaced by .json.\n";

namespace {

// The date of lines before a file's first banner: its modification date,
// or today for standard input.
std::int64_t FileDate(const std::string &name) {
  struct stat st;
  std::time_t t = std::time(nullptr);
  if (name != "-" && stat(name.c_str(), &st) == 0) t = st.st_mtime;
  const std::tm *tm = std::localtime(&t);
  if (tm == nullptr) return 0;
  return nqtrace::DaysFromCivil(tm->tm_year + 1900,
                                static_cast<unsigned>(tm->tm_mon + 1),
                                static_cast<unsigned>(tm->tm_mday));
}

}  // namespace

std::string DefaultOutput(const std::string &trace) {
  return nqtrace::OutputBeside(trace, ".json");
}

int RunTimeline(const std::vector<std::string> &args, std::ostream &err) {
  nqtrace::OutputOptions opt;
  std::string error;
  if (!nqtrace::ParseOutputOptions(args, ".json", opt, error)) {
    err << "netquill-timeline: " << error << '\n' << kUsage;
    return 2;
  }
  if (opt.help) {
    err << kUsage;
    return 0;
  }
  std::FILE *out = stdout;
  if (opt.output == "-") {
    nqtrace::SetBinaryMode(stdout);
  } else if ((out = std::fopen(opt.output.c_str(), "wb")) == nullptr) {
    err << "netquill-timeline: cannot write " << opt.output << '\n';
    return 1;
  }
  int status = 0;
  TraceEvents events(out);
  Timeline timeline(events, err);
  for (const std::string &name : opt.traces) {
    const std::string label = name == "-" ? "<stdin>" : name;
    std::string why;
    std::unique_ptr<nqtrace::ByteSource> source = nqtrace::OpenTrace(name, why);
    if (!source) {
      err << "netquill-timeline: cannot open " << label << ": " << why << '\n';
      status = 1;
      continue;
    }
    if (!timeline.ReadFile(*source, label, nqtrace::ProcessOfTraceName(name),
                           FileDate(name))) {
      err << "netquill-timeline: read error in " << label << '\n';
      status = 1;
    }
  }
  timeline.WriteNotes();
  const bool written = events.Finish();
  const bool closed = out == stdout || std::fclose(out) == 0;
  if (!written || !closed) {
    err << "netquill-timeline: cannot write " << opt.output << '\n';
    status = 1;
  }
  err << "netquill-timeline: " << events.Count() << " events to "
      << (opt.output == "-" ? "<stdout>" : opt.output) << '\n';
  return status;
}

}  // namespace nqtimeline
