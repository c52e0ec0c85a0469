// Turns trace files into timeline events: reads each line in bounded
// memory; gives each line a slice on its thread's track, call lines also
// to the socket table (tools/trace) for the sockets' tracks, and dump
// lines to the transfers that wait for them; joins overlapped calls to
// their completions and sends to their receives; reports damaged lines by
// number.
#ifndef NQ_TOOLS_NETQUILL_TIMELINE_TIMELINE_H
#define NQ_TOOLS_NETQUILL_TIMELINE_TIMELINE_H

#include <cstdint>
#include <ostream>
#include <string>

#include "byte_source.h"
#include "connections.h"
#include "line_parser.h"
#include "overlapped.h"
#include "socket_table.h"
#include "stream_flows.h"
#include "threads.h"
#include "trace_events.h"

namespace nqtimeline {

class Timeline {
 public:
  Timeline(TraceEvents &events, std::ostream &err)
      : events_(events),
        err_(err),
        threads_(events),
        streams_(events, next_flow_),
        overlapped_(events, next_flow_) {}

  // Reads source to its end. label names the file in slices and messages;
  // pid is the process its name gives (0: none); days the date of lines
  // before its first start banner. False if reading failed before the end.
  bool ReadFile(nqtrace::ByteSource &source, const std::string &label,
                std::uint32_t pid, std::int64_t days);

  // Says how many damaged lines were not shown one by one, and what the
  // timeline lacks.
  void WriteNotes();

 private:
  void Damaged(const std::string &label, std::uint64_t line, const char *why,
               const char *detail = nullptr);

  TraceEvents &events_;
  std::ostream &err_;
  std::uint64_t next_flow_ = 1;
  std::uint32_t next_socket_tid_ = kSocketTid;
  Threads threads_;
  StreamFlows streams_;
  Overlapped overlapped_;
  nqtrace::Tally tally_;
  std::uint64_t damaged_lines_ = 0;
  std::uint64_t moved_slices_ = 0;
};

}  // namespace nqtimeline

#endif  // NQ_TOOLS_NETQUILL_TIMELINE_TIMELINE_H
