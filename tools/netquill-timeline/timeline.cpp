#include "timeline.h"

#include "banner.h"
#include "call_args.h"
#include "call_shape.h"
#include "dump_runs.h"
#include "line_reader.h"
#include "tls_line.h"
#include "trace_calendar.h"
#include "winsock_names.h"

namespace nqtimeline {
namespace {

using nqtrace::LineKind;
using nqtrace::ParsedLine;

constexpr std::uint64_t kShownDamagedLines = 20;

const char *TagText(nqtrace::Tag tag) {
  switch (tag) {
    case nqtrace::Tag::Error:
      return "ERR";
    case nqtrace::Tag::Warning:
      return "WRN";
    case nqtrace::Tag::Info:
      break;
  }
  return "INF";
}

bool Integer(const nqtrace::CallArgs &args, int i, std::int64_t &value) {
  return i >= 0 && static_cast<std::size_t>(i) < args.count &&
         nqtrace::ParseInteger(args.items[i], value);
}

// A call's own time when the launcher timed it (-T): its start within the
// clock second and its duration. A line with only one of them (no
// launcher writes such) has no time of its own.
bool CallTiming(const ParsedLine &p, LineTime &time) {
  if (!p.has_clock_us || !p.has_duration) return false;
  time.timed = true;
  time.start_us = p.clock_us;
  time.dur_us = p.duration_us;
  return true;
}

// socketpair(family, type, protocol, [a, b]): its two sockets, each
// with its label. The list is the last argument; labels may hold brackets.
bool PairOf(const ParsedLine &p, const nqtrace::CallArgs &args,
            nqtrace::CallArgs &ends) {
  if (p.function != "socketpair" || p.tag != nqtrace::Tag::Info ||
      args.count == 0)
    return false;
  const std::string_view list = args.items[args.count - 1];
  return list.size() >= 2 && list.front() == '[' && list.back() == ']' &&
         nqtrace::SplitArgs(list.substr(1, list.size() - 2), ends);
}

// The sockets a call line names: the one it acts on, and those it makes
// (socket, accept, socketpair), whose tracks begin as the call returns,
// or accepts into (AcceptEx).
struct Sockets {
  std::int64_t handles[3];
  bool made[3];
  int count = 0;
  void Add(std::int64_t h, bool is_made) {
    if (count == 3) return;
    made[count] = is_made;
    handles[count++] = h;
  }
};

Sockets SocketsOf(const ParsedLine &p, const nqtrace::CallArgs &args,
                  std::int64_t acted_on) {
  Sockets s;
  if (acted_on >= 0) s.Add(acted_on, false);
  std::int64_t made = 0;
  const std::string_view fn = p.function;
  const bool makes = fn == "socket" || fn == "WSASocketA" ||
                     fn == "WSASocketW" || fn == "accept" || fn == "WSAAccept";
  if (makes && p.tag == nqtrace::Tag::Info &&
      nqtrace::ParseInteger(p.result, made) && made >= 0)
    s.Add(made, true);
  if (fn == "AcceptEx" && Integer(args, 1, made)) s.Add(made, false);
  nqtrace::Completion done;
  if (nqtrace::ParseCompletion(fn, args, done) && done.accepted)
    s.Add(done.accepted_socket, false);
  nqtrace::CallArgs ends;
  if (PairOf(p, args, ends))
    for (std::size_t i = 0; i < ends.count; ++i)
      if (nqtrace::ParseInteger(ends.items[i], made)) s.Add(made, true);
  return s;
}

// Gives the connections the labels a call line shows after its sockets:
// in its arguments, its socketpair list and its result.
void LabelsOf(const ParsedLine &p, const nqtrace::CallArgs &args,
              const nqtrace::SocketTable &table, Connections &connections) {
  const auto label = [&](std::string_view number, std::string_view text) {
    std::int64_t h = 0;
    if (text.empty() || !nqtrace::ParseInteger(number, h)) return;
    if (const nqtrace::SocketState *s = table.Find(p.module, h))
      connections.Label(*s, text);
  };
  for (std::size_t i = 0; i < args.count; ++i)
    label(args.items[i], args.labels[i]);
  nqtrace::CallArgs ends;
  if (PairOf(p, args, ends))
    for (std::size_t i = 0; i < ends.count; ++i)
      label(ends.items[i], ends.labels[i]);
  label(p.result, p.result_label);
}

void CallArgsOf(const ParsedLine &p, const std::string &label,
                std::uint64_t line, std::uint64_t moved_us, Args &a) {
  a.String("file", label);
  a.Uint("line", line);
  a.String("tag", TagText(p.tag));
  a.String("args", p.args);
  a.String("result", p.result);
  if (p.has_code) {
    a.Int("code", static_cast<std::int32_t>(p.code));
    if (const char *name = nqtrace::ErrorName(p.code)) a.String("error", name);
  }
  std::uint64_t count = 0;
  if (nqtrace::PlaintextCount(p, count)) {
    a.Uint("plaintext", count);
  } else if (p.tag == nqtrace::Tag::Info &&
             (nqtrace::DataDirection(p.function) != 0 ||
              nqtrace::IsCompletion(p.function)) &&
             !nqtrace::MovesByDump(p.function) &&
             nqtrace::ResultAsCount(p.result, count)) {
    a.Uint("bytes", count);
  }
  if (moved_us != 0) a.Uint("moved_us", moved_us);
}

}  // namespace

void Timeline::Damaged(const std::string &label, std::uint64_t line,
                       const char *why, const char *detail) {
  if (damaged_lines_++ >= kShownDamagedLines) return;
  err_ << label << ':' << line << ": malformed line (" << why;
  if (detail != nullptr) err_ << ": " << detail;
  err_ << ")\n";
}

bool Timeline::ReadFile(nqtrace::ByteSource &source, const std::string &label,
                        std::uint32_t pid_of_file, std::int64_t days) {
  threads_.BeginFile(label, pid_of_file);
  Connections connections(events_, streams_, next_socket_tid_);
  nqtrace::SocketTable table(connections, tally_);
  nqtrace::DumpRuns dumps(table);
  nqtrace::Calendar calendar(days);
  nqtrace::LineReader reader(source);
  std::string_view text;
  std::uint64_t line = 0;
  // The dump after a TLS call's line is plaintext, which the socket's own
  // lines carry encrypted: not the socket's bytes.
  bool plaintext = false;
  while (reader.Next(text)) {
    ++line;
    if (reader.Overlong()) {
      Damaged(label, line, nqtrace::FaultText(nqtrace::Fault::TooLong));
      dumps.SpoilOpen();
      continue;
    }
    const ParsedLine p = nqtrace::ParseLine(text);
    if (p.kind == LineKind::Dump) {
      if (plaintext) continue;
      const nqtrace::DumpFault fault = dumps.Line(text);
      if (fault != nqtrace::DumpFault::None)
        Damaged(label, line, "bad dump line", nqtrace::DumpFaultText(fault));
      continue;
    }
    if (p.kind == LineKind::DumpCut) {
      if (!plaintext) dumps.Cut(p.cut);
      continue;
    }
    if (p.kind == LineKind::Malformed) {
      Damaged(label, line, nqtrace::FaultText(p.fault));
      if (p.fault == nqtrace::Fault::BadDump ||
          (p.fault == nqtrace::Fault::Glued && text[0] == ' '))
        dumps.Spoil();
      else
        dumps.End();
      continue;
    }
    dumps.End();
    const bool call = p.kind == LineKind::Call;
    plaintext = call && nqtrace::PlaintextDirection(p.function) != 0;
    const bool start = p.kind == LineKind::TraceStart;
    const bool banner = start || p.kind == LineKind::TraceStop;
    std::int64_t banner_days = 0;
    if (start && nqtrace::BannerDate(p.text, banner_days))
      calendar.SetDate(banner_days);

    LineTime time;
    time.second_us = calendar.SecondUs(p.clock);
    time.elapsed_ms = p.elapsed_ms;
    if (call && CallTiming(p, time)) time.start_us += time.second_us;

    nqtrace::CallArgs args;
    const bool split = call && nqtrace::SplitArgs(p.args, args);
    const nqtrace::CallShape shape =
        split ? nqtrace::ShapeOf(p.function, args) : nqtrace::CallShape{};
    std::int64_t socket = -1;
    if (!Integer(args, shape.socket, socket)) socket = -1;

    const std::uint32_t pid = threads_.ProcessOf(p.module);
    const std::uint32_t banner_tid = banner ? nqtrace::BannerThread(p.text) : 0;
    if (start && banner_tid != 0)
      threads_.Banner(pid, p.module, banner_tid, true);
    const std::uint32_t tid =
        banner_tid != 0 ? banner_tid
                        : threads_.ThreadOf(pid, p.module, socket, time);
    std::uint64_t moved_us = 0;
    const SliceRef slice = threads_.Place(pid, tid, time, moved_us);
    if (moved_us != 0) ++moved_slices_;

    Args a;
    if (!call) {
      a.String("file", label);
      a.Uint("line", line);
      a.String("tag", TagText(p.tag));
      a.String("text", p.text);
      const char *name = start    ? "trace started"
                         : banner ? "trace stopped"
                                  : "note";
      events_.Slice(name, "note", slice, true, a);
      if (banner && !start && banner_tid != 0)
        threads_.Banner(pid, p.module, banner_tid, false);
      continue;
    }
    CallArgsOf(p, label, line, moved_us, a);
    events_.Slice(p.function, "call", slice, !time.timed, a);
    if (!split) continue;

    // The socket's track goes on to this call (its close included) before
    // the table sees it.
    if (socket >= 0)
      if (const nqtrace::SocketState *s = table.Find(p.module, socket))
        connections.Touch(*s, p.module, socket, slice);
    LabelsOf(p, args, table, connections);
    connections.Remember(line, slice);
    const nqtrace::Origin origin{slice.ts + slice.dur, line, p.module, p.text,
                                 tid};
    table.Call(p, origin);
    const Sockets named = SocketsOf(p, args, socket);
    const SliceRef returned{slice.pid, slice.tid, slice.ts + slice.dur, 0};
    for (int i = 0; i < named.count; ++i) {
      const std::int64_t h = named.handles[i];
      if (const nqtrace::SocketState *s = table.Find(p.module, h)) {
        connections.Touch(*s, p.module, h, named.made[i] ? returned : slice);
        threads_.Use(pid, h, tid);
      }
    }
    LabelsOf(p, args, table, connections);
    if (p.function == "closesocket" && p.tag == nqtrace::Tag::Info)
      threads_.Closed(pid, socket);

    nqtrace::Completion done;
    if (nqtrace::IsPending(p))
      overlapped_.Pending(pid, socket, p.function, args, slice);
    else if (nqtrace::ParseCompletion(p.function, args, done))
      overlapped_.Completed(pid, done.socket, done.operation, done.overlapped,
                            slice);
  }
  dumps.End();
  table.Finish();
  return !source.Failed();
}

void Timeline::WriteNotes() {
  const char *kNote = "netquill-timeline: note: ";
  if (damaged_lines_ > kShownDamagedLines)
    err_ << "netquill-timeline: " << damaged_lines_ - kShownDamagedLines
         << " more malformed lines not shown\n";
  if (tally_.transfers != 0 && tally_.placed_dumps == 0 &&
      tally_.unplaced_dumps == 0 && tally_.damaged_dumps == 0)
    err_ << kNote << "the trace holds no dumps: the sockets' byte counters "
         << "stay at 0 and sends and receives are not joined (trace with "
            "TRACE_FLAG_DUMP to have them)\n";
  if (overlapped_.Waiting() != 0)
    err_ << kNote << overlapped_.Waiting()
         << " overlapped call(s) whose completion is not in the traces\n";
  if (moved_slices_ != 0)
    err_ << kNote << moved_slices_
         << " timed call(s) that would overlap their thread's previous call "
            "moved after it (\"moved_us\")\n";
}

}  // namespace nqtimeline
