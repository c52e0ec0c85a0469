#include "options.h"

namespace nqstat {

const char *const kUsage =
    "usage: netquill-stat [options] [FILE...]\n"
    "Summarises NETQUILL socket traces: calls, errors and elapsed times per\n"
    "module and function, error codes, bytes moved and line counts.\n"
    "FILE '-' (or no FILE at all) reads standard input.\n"
    "\n"
    "  --errors        list only the ERR and WRN lines, as file:line: text\n"
    "  --module NAME   keep only this module (repeatable, any case)\n"
    "  --json          write the summary as JSON\n"
    "  --top N         list the N lines with the largest elapsed time\n"
    "                  (default 5, 0 for none)\n"
    "  -h, --help      show this help\n"
    "\n"
    "Exit status: 0 success, 1 a file could not be read, 2 bad usage.\n";

namespace {

constexpr std::size_t kMaxTop = 1000000;

bool ParseCount(const std::string &s, std::size_t &out) {
  if (s.empty() || s.size() > 7) return false;
  std::size_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::size_t>(c - '0');
  }
  if (v > kMaxTop) return false;
  out = v;
  return true;
}

}  // namespace

bool ParseOptions(const std::vector<std::string> &args, Options &o,
                  std::string &error) {
  bool only_files = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    if (only_files || a == "-" || a.empty() || a[0] != '-') {
      o.files.push_back(a);
      continue;
    }
    // "--opt=value" and "--opt value" are both accepted.
    std::string name = a;
    std::string value;
    bool inline_value = false;
    const std::size_t eq = a.find('=');
    if (a.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
      inline_value = true;
    }
    const bool takes_value = name == "--top" || name == "--module";
    if (!takes_value && inline_value) {
      error = "option " + name + " takes no value";
      return false;
    }
    if (takes_value && !inline_value) {
      if (i + 1 == args.size()) {
        error = "option " + name + " needs a value";
        return false;
      }
      value = args[++i];
    }

    if (name == "--") {
      only_files = true;
    } else if (name == "-h" || name == "--help") {
      o.help = true;
    } else if (name == "--errors") {
      o.errors_only = true;
    } else if (name == "--json") {
      o.json = true;
    } else if (name == "--top") {
      if (!ParseCount(value, o.top)) {
        error =
            "--top needs a whole number from 0 to 1000000, not '" + value + "'";
        return false;
      }
    } else if (name == "--module") {
      o.modules.push_back(value);
    } else {
      error = "unknown option " + a;
      return false;
    }
  }
  if (o.errors_only && o.json) {
    error = "--errors and --json cannot be combined";
    return false;
  }
  return true;
}

}  // namespace nqstat
