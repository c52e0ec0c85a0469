#include "app.h"

#include "json_report.h"
#include "options.h"
#include "scanner.h"
#include "summary.h"
#include "text_report.h"

namespace nqstat {

int RunStat(const std::vector<std::string> &args, const TraceOpener &open,
            std::ostream &out, std::ostream &err) {
  Options opt;
  std::string error;
  if (!ParseOptions(args, opt, error)) {
    err << "netquill-stat: " << error << '\n' << kUsage;
    return 2;
  }
  if (opt.help) {
    out << kUsage;
    return 0;
  }
  if (opt.files.empty()) opt.files.push_back("-");

  ScanSettings settings;
  settings.modules = opt.modules;
  if (opt.errors_only) settings.failing_lines = &out;
  Summary summary(opt.top);
  MalformedLog malformed(err);
  int status = 0;
  for (const std::string &name : opt.files) {
    const std::string label = name == "-" ? "<stdin>" : name;
    std::string why;
    std::unique_ptr<nqtrace::ByteSource> source = open(name, why);
    summary.AddFile(label, source != nullptr);
    if (!source) {
      err << "netquill-stat: cannot open " << label << ": " << why << '\n';
      status = 1;
      continue;
    }
    if (!ScanTrace(*source, label, settings, summary, malformed)) {
      err << "netquill-stat: read error in " << label << '\n';
      status = 1;
    }
  }
  malformed.Finish();

  if (!opt.errors_only) {
    if (opt.json)
      WriteJsonReport(out, summary);
    else
      WriteTextReport(out, summary);
  }
  out.flush();
  return status;
}

}  // namespace nqstat
