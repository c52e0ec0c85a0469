#include "converter.h"

#include <algorithm>
#include <iterator>

#include "banner.h"
#include "conversation.h"
#include "dump_line.h"
#include "dump_runs.h"
#include "line_parser.h"
#include "line_reader.h"
#include "trace_clock.h"
#include "winsock_names.h"

namespace nqpcap {
namespace {

constexpr std::uint64_t kShownDamagedLines = 20;

}  // namespace

std::uint32_t Converter::TracingThread(const nqtrace::ParsedLine &p) {
  const bool start = p.kind == nqtrace::LineKind::TraceStart;
  if (start || p.kind == nqtrace::LineKind::TraceStop) {
    const std::uint32_t id = nqtrace::BannerThread(p.text);
    auto it = threads_.try_emplace(std::string(p.module)).first;
    std::vector<std::uint32_t> &ids = it->second;
    if (start && id != 0) ids.push_back(id);
    if (!start) ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
    return id;
  }
  // Lines do not name their thread: the module's one tracing thread, if
  // only one traces into this file.
  auto it = threads_.find(p.module);
  return it != threads_.end() && it->second.size() == 1 ? it->second[0] : 0;
}

void Converter::Damaged(const std::string &label, std::uint64_t line,
                        const char *why, const char *detail) {
  if (damaged_lines_++ >= kShownDamagedLines) return;
  err_ << label << ':' << line << ": malformed line (" << why;
  if (detail != nullptr) err_ << ": " << detail;
  err_ << ")\n";
}

bool Converter::ConvertFile(nqtrace::ByteSource &source,
                            const std::string &label, std::int64_t days) {
  capture_.BeginFile(label);
  Conversations conversations(capture_);
  nqtrace::SocketTable table(conversations, tally_);
  nqtrace::DumpRuns dumps(table);
  TraceClock clock(days);
  nqtrace::LineReader reader(source);
  threads_.clear();
  std::string_view text;
  std::uint64_t line = 0;
  // The dump after a TLS call's line is plaintext, which the socket's own
  // lines carry encrypted: no frame's bytes.
  bool plaintext = false;
  while (reader.Next(text)) {
    ++line;
    if (reader.Overlong()) {
      Damaged(label, line, nqtrace::FaultText(nqtrace::Fault::TooLong));
      dumps.SpoilOpen();
      continue;
    }
    const nqtrace::ParsedLine p = nqtrace::ParseLine(text);
    if (p.kind == nqtrace::LineKind::Dump) {
      if (plaintext) continue;
      const nqtrace::DumpFault fault = dumps.Line(text);
      if (fault != nqtrace::DumpFault::None)
        Damaged(label, line, "bad dump line", nqtrace::DumpFaultText(fault));
      continue;
    }
    if (p.kind == nqtrace::LineKind::DumpCut) {
      dumps.Cut(p.cut);
      continue;
    }
    if (p.kind == nqtrace::LineKind::Malformed) {
      Damaged(label, line, nqtrace::FaultText(p.fault));
      // An indented line that is no dump line, or a dump line cut short
      // with the next record after it, spoils the dump it is in.
      if (p.fault == nqtrace::Fault::BadDump ||
          (p.fault == nqtrace::Fault::Glued && text[0] == ' '))
        dumps.Spoil();
      else
        dumps.End();
      continue;
    }
    dumps.End();
    plaintext = p.kind == nqtrace::LineKind::Call &&
                nqtrace::PlaintextDirection(p.function) != 0;
    std::int64_t banner_days = 0;
    if (p.kind == nqtrace::LineKind::TraceStart &&
        BannerDate(p.text, banner_days))
      clock.SetDate(banner_days);
    const std::uint64_t time =
        p.has_clock_us ? clock.ExactLineTime(p.module, p.clock, p.clock_us)
                       : clock.LineTime(p.module, p.clock, p.elapsed_ms);
    const Origin origin{time, line, p.module, p.text, TracingThread(p)};
    if (p.kind == nqtrace::LineKind::Call) table.Call(p, origin);
  }
  dumps.End();
  table.Finish();
  return !source.Failed();
}

void Converter::WriteNotes() {
  const char *kNote = "netquill-pcap: note: ";
  if (damaged_lines_ > kShownDamagedLines)
    err_ << "netquill-pcap: " << damaged_lines_ - kShownDamagedLines
         << " more malformed lines not shown\n";
  static const char *const kLeftOut[] = {
      nullptr,
      " AF_UNIX socket(s) left out: they carry no IP traffic",
      " socketpair end(s) left out: they carry no IP traffic",
      " socket(s) of another family than IPv4 and IPv6 left out",
      " socket(s) neither stream nor datagram left out",
      " socket(s) left out from the line where their handle was opened "
      "again while the trace held it open: two processes of one module name "
      "writing one file, or a close the trace does not hold (trace each "
      "process to a file of its own to keep them)",
      " TCP conversation(s) left out: every made-up port between their two "
      "addresses was taken",
  };
  static_assert(std::size(kLeftOut) == static_cast<int>(LeftOut::kCount),
                "a note for every reason");
  for (int why = 1; why < static_cast<int>(LeftOut::kCount); ++why)
    if (tally_.left_out[why] != 0)
      err_ << kNote << tally_.left_out[why] << kLeftOut[why] << '\n';
  if (tally_.transfers != 0 && tally_.placed_dumps == 0 &&
      tally_.unplaced_dumps == 0 && tally_.damaged_dumps == 0) {
    err_ << kNote << "the trace holds no dumps: the capture has the "
         << "connection frames but none of the " << tally_.undumped_bytes
         << " bytes sent and received (trace with TRACE_FLAG_DUMP to have "
            "them)\n";
  } else if (tally_.undumped != 0) {
    err_ << kNote << tally_.undumped << " send(s) and receive(s) without "
         << "their dump left out (" << tally_.undumped_bytes << " bytes)\n";
  }
  if (tally_.undumped_calls != 0)
    err_ << kNote << tally_.undumped_calls << " splice call(s) "
         << "left out (" << tally_.undumped_call_bytes
         << " bytes): the trace counts their bytes but never dumps them\n";
  if (tally_.unplaced_dumps != 0)
    err_ << kNote << tally_.unplaced_dumps
         << " dump(s) without their call line left out (a trace written "
            "with flags 5 dumps calls whose lines it leaves out)\n";
  if (tally_.cut_dumps != 0) {
    err_ << kNote << tally_.cut_dumps << " dump(s) cut by the trace's dump "
         << "limit (" << tally_.cut_bytes << " bytes not in the trace)";
    if (tally_.cut_datagrams != 0)
      err_ << ", " << tally_.cut_datagrams << " of them UDP datagrams left out";
    err_ << '\n';
  }
  if (tally_.damaged_dumps != 0)
    err_ << kNote << tally_.damaged_dumps
         << " dump(s) with damaged lines left out\n";
}

}  // namespace nqpcap
