#include "app.h"

#include "json_report.h"
#include "options.h"
#include "scanner.h"
#include "summary.h"
#include "text_report.h"

namespace nqstat {

int run_stat(const std::vector<std::string> &args, const TraceOpener &open,
             std::ostream &out, std::ostream &err) {
  Options opt;
  std::string error;
  if (!parse_options(args, opt, error)) {
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
    std::unique_ptr<ByteSource> source = open(name, why);
    summary.add_file(label, source != nullptr);
    if (!source) {
      err << "netquill-stat: cannot open " << label << ": " << why << '\n';
      status = 1;
      continue;
    }
    if (!scan_trace(*source, label, settings, summary, malformed)) {
      err << "netquill-stat: read error in " << label << '\n';
      status = 1;
    }
  }
  malformed.finish();

  if (!opt.errors_only) {
    if (opt.json)
      write_json_report(out, summary);
    else
      write_text_report(out, summary);
  }
  out.flush();
  return status;
}

}  // namespace nqstat
