#include "app.h"

#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <memory>

#include "binary_stdio.h"
#include "byte_source.h"
#include "capture.h"
#include "converter.h"
#include "file_identity.h"
#include "output_options.h"
#include "pcapng.h"
#include "tls_keys.h"
#include "trace_clock.h"

namespace nqpcap {

const char *const kUsage =
    "usage: netquill-pcap [-o OUT.pcapng] TRACE...\n"
    "  Writes the socket conversations of the traces as a pcapng capture.\n"
    "  TRACE '-' is standard input (needs -o); '-o -' writes to standard\n"
    "  output; without -o the capture goes beside the first trace, its\n"
    "  extension replaced by .pcapng.\n";

namespace {

std::int64_t DateOf(const std::time_t &t) {
  const std::tm *tm = std::localtime(&t);
  if (tm == nullptr) return 0;
  return DaysFromCivil(tm->tm_year + 1900,
                       static_cast<unsigned>(tm->tm_mon + 1),
                       static_cast<unsigned>(tm->tm_mday));
}

// The date of lines before the first banner: the file's modification
// date, or today for standard input.
std::int64_t FileDate(const std::string &name) {
  struct stat st;
  if (name != "-" && stat(name.c_str(), &st) == 0) return DateOf(st.st_mtime);
  return DateOf(std::time(nullptr));
}

// The secrets of the traces' TLS sessions, ahead of every frame. A trace
// on standard input is read once, by the conversion: it brings none.
void WriteTlsKeys(const std::vector<std::string> &traces,
                  PcapngWriter &writer) {
  for (const std::string &name : traces) {
    std::string why;
    std::unique_ptr<nqtrace::ByteSource> source =
        name == "-" ? nullptr : nqtrace::OpenTrace(name, why);
    if (source) writer.TlsKeys(GatherTlsKeys(*source));
  }
}

}  // namespace

std::string DefaultOutput(const std::string &trace) {
  return nqtrace::OutputBeside(trace, ".pcapng");
}

int RunPcap(const std::vector<std::string> &args, std::ostream &err) {
  nqtrace::OutputOptions opt;
  std::string error;
  if (!nqtrace::ParseOutputOptions(args, ".pcapng", opt, error)) {
    err << "netquill-pcap: " << error << '\n' << kUsage;
    return 2;
  }
  if (opt.help) {
    err << kUsage;
    return 0;
  }
  std::FILE *out = nullptr;
  if (opt.output == "-") {
    nqtrace::SetBinaryMode(stdout);
    out = stdout;
  } else {
    out = std::fopen(opt.output.c_str(), "wb");
    if (out == nullptr) {
      err << "netquill-pcap: cannot write " << opt.output << '\n';
      return 1;
    }
  }
  std::vector<char> buffer(1 << 20);
  std::setvbuf(out, buffer.data(), _IOFBF, buffer.size());

  int status = 0;
  {
    PcapngWriter writer(out);
    WriteTlsKeys(opt.traces, writer);
    Capture capture(writer);
    Converter converter(capture, err);
    for (const std::string &name : opt.traces) {
      const std::string label = name == "-" ? "<stdin>" : name;
      std::string why;
      std::unique_ptr<nqtrace::ByteSource> source =
          nqtrace::OpenTrace(name, why);
      if (!source) {
        err << "netquill-pcap: cannot open " << label << ": " << why << '\n';
        status = 1;
        continue;
      }
      if (!converter.ConvertFile(*source, label, FileDate(name))) {
        err << "netquill-pcap: read error in " << label << '\n';
        status = 1;
      }
    }
    converter.WriteNotes();
    if (std::fflush(out) != 0 || !writer.Ok()) {
      err << "netquill-pcap: cannot write " << opt.output << '\n';
      status = 1;
    }
    err << "netquill-pcap: " << capture.FrameCount() << " frames to "
        << (opt.output == "-" ? "<stdout>" : opt.output) << '\n';
  }
  if (out != stdout && std::fclose(out) != 0) {
    err << "netquill-pcap: cannot write " << opt.output << '\n';
    status = 1;
  } else if (out == stdout) {
    std::setvbuf(out, nullptr, _IOFBF, BUFSIZ);
  }
  return status;
}

}  // namespace nqpcap
