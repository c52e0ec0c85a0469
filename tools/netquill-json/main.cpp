// netquill-json [FILE | -]: a trace as JSON Lines, one object per record.
#include <cstdio>
#include <cstring>
#include <string>

#include "binary_stdio.h"
#include "byte_source.h"
#include "json_out.h"
#include "line_reader.h"
#include "record_writer.h"

namespace {

constexpr char kUsage[] =
    "usage: netquill-json [FILE | -]\n"
    "Prints each record of a NETQUILL trace as one JSON object per line;\n"
    "with no FILE, or -, reads standard input.\n";

}  // namespace

int main(int argc, char **argv) {
  if (argc > 2 || (argc == 2 && argv[1][0] == '-' && argv[1][1] != '\0')) {
    const bool help = argc == 2 && (std::strcmp(argv[1], "-h") == 0 ||
                                    std::strcmp(argv[1], "--help") == 0);
    std::fputs(kUsage, help ? stdout : stderr);
    return help ? 0 : 2;
  }
  const std::string name = argc == 2 ? argv[1] : "-";
  std::string why;
  const auto source = nqtrace::OpenTrace(name, why);
  if (!source) {
    std::fprintf(stderr, "netquill-json: cannot open %s: %s\n", name.c_str(),
                 why.c_str());
    return 1;
  }
  nqtrace::SetBinaryMode(stdout);
  nqjson::JsonOut out(stdout);
  nqjson::RecordWriter records(out);
  nqtrace::LineReader reader(*source);
  std::string_view line;
  while (reader.Next(line) && !out.Failed())
    records.Line(line, reader.Overlong());
  records.Finish();
  if (!out.Flush()) {
    std::fputs("netquill-json: cannot write the output\n", stderr);
    return 1;
  }
  if (source->Failed()) {
    std::fprintf(stderr, "netquill-json: read error in %s\n", name.c_str());
    return 1;
  }
  return 0;
}
