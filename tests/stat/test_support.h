// Helpers shared by the netquill-stat tests: traces held in memory, run
// through the same code paths as files.
#pragma once

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app.h"
#include "byte_source.h"
#include "scanner.h"
#include "summary.h"

namespace nqstat_test {

// Joins lines with CR LF, the way the tracer writes them.
inline std::string crlf(const std::vector<std::string> &lines) {
  std::string s;
  for (const std::string &l : lines) s += l + "\r\n";
  return s;
}

// Scans one in-memory trace into `summary`; malformed messages go to `err`.
inline void scan(const std::string &trace, nqstat::Summary &summary,
                 std::ostream &err, const nqstat::ScanSettings &settings = {},
                 const std::string &label = "t.trace") {
  nqstat::StringSource source(trace);
  nqstat::MalformedLog log(err);
  nqstat::scan_trace(source, label, settings, summary, log);
  log.finish();
}

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
  std::vector<std::string> opened;  // names the program asked for
};

// Runs the command line in-process; `files` maps names to contents and any
// other name fails to open with "No such file".
inline RunResult run(const std::vector<std::string> &args,
                     const std::map<std::string, std::string> &files) {
  RunResult r;
  std::ostringstream out, err;
  auto open = [&](const std::string &name,
                  std::string &why) -> std::unique_ptr<nqstat::ByteSource> {
    r.opened.push_back(name);
    auto it = files.find(name);
    if (it == files.end()) {
      why = "No such file";
      return nullptr;
    }
    return std::make_unique<nqstat::StringSource>(it->second);
  };
  r.status = nqstat::run_stat(args, open, out, err);
  r.out = out.str();
  r.err = err.str();
  return r;
}

}  // namespace nqstat_test
