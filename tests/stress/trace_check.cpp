#include "trace_check.h"

#include <stdint.h>
#include <stdio.h>

#include <fstream>
#include <sstream>

#include "dump_line.h"
#include "line_parser.h"
#include "workload.h"

namespace nqstress {
namespace {

constexpr size_t kKeptErrors = 20;
constexpr size_t kDateLength = 19;  // MM-DD-YYYY hh:mm:ss

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsDate(const std::string &s, size_t at) {
  static const char kShape[] = "dd-dd-dddd dd:dd:dd";
  if (s.size() < at + kDateLength) return false;
  for (size_t i = 0; i < kDateLength; ++i) {
    char c = s[at + i];
    if (kShape[i] == 'd' ? !IsDigit(c) : c != kShape[i]) return false;
  }
  return true;
}

class Reader {
 public:
  Reader(const std::string &module, TraceReport *report)
      : module_(module), report_(report) {}

  void Line(const std::string &line) {
    ++report_->lines;
    ++line_no_;
    if (line.find_first_of("\r\n") != std::string::npos) {
      Fault("a carriage return or line feed inside the line", line);
      return;
    }
    if (!line.empty() && line[0] == ' ') {
      DumpLine(line);
    } else {
      CloseDump();
      TextLine(line);
    }
  }

  void Finish() {
    CloseDump();
    for (const auto &open : open_) {
      Fault("no stop banner for thread 0x" + HexId(open.first), "");
    }
  }

  void Fault(const std::string &what, const std::string &line) {
    if (report_->error_count++ < kKeptErrors) {
      report_->errors.push_back("line " + std::to_string(line_no_) + ": " +
                                what + (line.empty() ? "" : ": " + line));
    }
  }

 private:
  struct Episode {
    std::string owner;  // named by the note that follows the start banner
    std::string start;  // the start banner, until then
  };

  static std::string HexId(uint32_t id) {
    char buf[16];
    snprintf(buf, sizeof buf, "%lX", static_cast<unsigned long>(id));
    return buf;
  }

  // The column layout through the tools' parser: module, a clock time of
  // day, at least four digits of elapsed time, one of the three tags.
  void TextLine(const std::string &line) {
    const nqtrace::ParsedLine p = nqtrace::ParseLine(line);
    switch (p.fault) {
      case nqtrace::Fault::None:
        break;
      case nqtrace::Fault::BadClock:
        Fault("bad clock time", line);
        return;
      case nqtrace::Fault::BadElapsed:
        Fault("bad elapsed time", line);
        return;
      case nqtrace::Fault::BadTag:
        Fault("bad tag", line);
        return;
      default:
        Fault(std::string(nqtrace::FaultText(p.fault)), line);
        return;
    }
    if (p.module != module_) {
      Fault("no module name", line);
      return;
    }
    ++report_->texts;
    Record(line.substr(line.size() - p.text.size() - 5, 5), std::string(p.text),
           line);
  }

  void Record(const std::string &tag, const std::string &text,
              const std::string &line) {
    std::string record = tag + text;
    unsigned long id = 0;
    bool start = text.compare(0, 18, "started process 0x") == 0;
    if (start || text.compare(0, 18, "stopped process 0x") == 0) {
      size_t on = text.find(" trace on ");
      if (sscanf(text.c_str() + 18, "%lX", &id) != 1 ||
          on == std::string::npos || !IsDate(text, on + 10)) {
        Fault("bad banner", line);
        return;
      }
      record = tag + text.substr(0, on + 10) + "<date>" +
               text.substr(on + 10 + kDateLength);
      Banner(start, static_cast<uint32_t>(id), record, line);
      return;
    }
    std::string owner;
    uint32_t tid = 0;
    if (ParseNote(text, &owner, &tid)) {
      auto open = open_.find(tid);
      if (open == open_.end()) {
        Fault("note of a thread whose trace is off", line);
        return;
      }
      Episode &episode = open->second;
      if (episode.owner.empty()) {
        episode.owner = owner;
        owner_tid_[owner] = tid;
        Push(owner, episode.start);
      } else if (episode.owner != owner) {
        Fault("note of another owner on thread 0x" + HexId(tid), line);
        return;
      }
      Push(owner, record);
      return;
    }
    Owned(OwnerOfText(text), record, line);
  }

  void Banner(bool start, uint32_t tid, const std::string &record,
              const std::string &line) {
    auto open = open_.find(tid);
    if (start) {
      if (open != open_.end()) {
        Fault("start banner while the thread's trace is on", line);
        return;
      }
      open_[tid] = Episode{"", record};
      return;
    }
    if (open == open_.end()) {
      Fault("stop banner of a thread whose trace is off", line);
      return;
    }
    if (open->second.owner.empty()) {
      Fault("no note between the banners", line);
    } else {
      Push(open->second.owner, record);
      owner_tid_.erase(open->second.owner);
    }
    open_.erase(open);
  }

  // A record that names its owner: it must fall inside that owner's trace.
  void Owned(const std::string &owner, const std::string &record,
             const std::string &line) {
    if (owner == "stray" || owner.empty()) {
      Fault("a record no thread of the test writes", line);
      return;
    }
    auto tid = owner_tid_.find(owner);
    if (tid == owner_tid_.end()) {
      Fault("a record of " + owner + " outside its banners", line);
    }
    Push(owner, record);
  }

  void Push(const std::string &owner, const std::string &record) {
    if (!last_owner_.empty() && owner != last_owner_) ++report_->switches;
    last_owner_ = owner;
    report_->records[owner].push_back(record);
    report_->sequence.push_back(owner);
  }

  // Every column of a dump line through the tools' decoder; the
  // indentation must be the module name's width.
  void DumpLine(const std::string &line) {
    nqtrace::DumpLine d;
    const nqtrace::DumpFault fault = nqtrace::DecodeDumpLine(line, d);
    if (d.indent != module_.size() + 1) {
      Fault("dump line indented by " + std::to_string(d.indent), line);
      return;
    }
    if (fault == nqtrace::DumpFault::BadCell) {
      Fault("bad hex cell " + std::to_string(d.bad_cell), line);
      return;
    }
    if (fault != nqtrace::DumpFault::None) {
      Fault(nqtrace::DumpFaultText(fault), line);
      return;
    }
    const uint32_t offset = d.offset;
    if (offset == 0) {
      CloseDump();
      dump_open_ = true;
    } else if (!dump_open_ || offset != dump_.size() ||
               dump_.size() % 16 != 0) {
      Fault("dump line out of place (offset " + std::to_string(offset) + ")",
            line);
      return;
    }
    dump_.insert(dump_.end(), d.bytes, d.bytes + d.count);
  }

  void CloseDump() {
    if (!dump_open_) return;
    static const char kDigits[] = "0123456789ABCDEF";
    std::string record = "DUMP ";
    for (unsigned char b : dump_) {
      record += kDigits[b >> 4];
      record += kDigits[b & 15];
    }
    ++report_->dumps;
    Owned(OwnerOfDump(dump_), record, "");
    dump_.clear();
    dump_open_ = false;
  }

  std::string module_;
  TraceReport *report_;
  size_t line_no_ = 0;
  std::map<uint32_t, Episode> open_;           // thread id -> its trace
  std::map<std::string, uint32_t> owner_tid_;  // owner -> its thread id
  std::string last_owner_;
  std::vector<unsigned char> dump_;
  bool dump_open_ = false;
};

}  // namespace

TraceReport ReadTrace(const std::string &path, const std::string &module) {
  TraceReport report;
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  const std::string text = all.str();
  Reader reader(module, &report);
  if (text.empty()) reader.Fault("the trace is empty or missing", path);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      reader.Fault("the last line has no CR LF", text.substr(start, 80));
      break;
    }
    reader.Line(text.substr(start, end - start));
    start = end + 2;
  }
  reader.Finish();
  return report;
}

std::string Describe(const TraceReport &report) {
  std::string out = std::to_string(report.lines) + " lines, " +
                    std::to_string(report.texts) + " text records, " +
                    std::to_string(report.dumps) + " dumps, " +
                    std::to_string(report.switches) + " owner switches, " +
                    std::to_string(report.error_count) + " faults";
  for (const std::string &e : report.errors) out += "\n  " + e;
  return out;
}

}  // namespace nqstress
