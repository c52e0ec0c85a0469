// Helpers shared by the netquill-stat tests: traces held in memory, run
// through the same code paths as files.
#ifndef NQ_TESTS_STAT_TEST_SUPPORT_H
#define NQ_TESTS_STAT_TEST_SUPPORT_H

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app.h"
#include "byte_source.h"
#include "scanner.h"
#include "summary.h"

namespace nqstattest {

// Joins lines with CR LF, the way the tracer writes them.
inline std::string Crlf(const std::vector<std::string> &lines) {
  std::string s;
  for (const std::string &l : lines) s += l + "\r\n";
  return s;
}

// Scans one in-memory trace into `summary`; malformed messages go to `err`.
inline void Scan(const std::string &trace, nqstat::Summary &summary,
                 std::ostream &err, const nqstat::ScanSettings &settings = {},
                 const std::string &label = "t.trace") {
  nqtrace::StringSource source(trace);
  nqstat::MalformedLog log(err);
  nqstat::ScanTrace(source, label, settings, summary, log);
  log.Finish();
}

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
  std::vector<std::string> opened;  // names the program asked for
};

// Runs the command line in-process; `files` maps names to contents and any
// other name fails to open with "No such file".
inline RunResult RunCli(const std::vector<std::string> &args,
                        const std::map<std::string, std::string> &files) {
  RunResult r;
  std::ostringstream out, err;
  auto open = [&](const std::string &name,
                  std::string &why) -> std::unique_ptr<nqtrace::ByteSource> {
    r.opened.push_back(name);
    auto it = files.find(name);
    if (it == files.end()) {
      why = "No such file";
      return nullptr;
    }
    return std::make_unique<nqtrace::StringSource>(it->second);
  };
  r.status = nqstat::RunStat(args, open, out, err);
  r.out = out.str();
  r.err = err.str();
  return r;
}

}  // namespace nqstattest

#endif  // NQ_TESTS_STAT_TEST_SUPPORT_H
