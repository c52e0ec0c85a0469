// The process and thread each line comes from, and where its slice goes on
// that thread's track.
//
// A process is known by its id when its trace file is one of netquill-run
// -ff's (the name ends in .PID); otherwise each module of a file is a
// process of its own with a made-up id (from kMadeUpPid up). Lines do not
// name their thread: the start banner does ("started process 0x1A4",
// the tracing thread's id). While a process has one thread tracing, its
// lines are that thread's; with more, the line after a thread's start
// banner is that thread's (the banner is written as its first call
// begins), any other line on a socket goes to the thread that last used it
// (or made it), other lines to the thread of the process's line before,
// and a timed call (-T) that would overlap that thread's previous call
// goes to a thread free at its start. Lines before any banner go to a
// track of their own, whose id is the process's.
#ifndef NQ_TOOLS_NETQUILL_TIMELINE_THREADS_H
#define NQ_TOOLS_NETQUILL_TIMELINE_THREADS_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "trace_events.h"

namespace nqtimeline {

// Made-up process ids, above any Linux pid (at most 2^22).
constexpr std::uint32_t kMadeUpPid = 1000000000;

// When a line's call happened, as far as the line tells.
struct LineTime {
  std::uint64_t second_us = 0;  // start of its clock second
  std::uint64_t elapsed_ms = 0;
  bool timed = false;          // -T: the call's start and duration
  std::uint64_t start_us = 0;  // timed only
  std::uint64_t dur_us = 0;
};

class Threads {
 public:
  explicit Threads(TraceEvents &events) : events_(events) {}

  // A new trace file; pid 0 when its name tells none.
  void BeginFile(std::string_view label, std::uint32_t pid);

  // The process of a module's line in the current file, named on first
  // sight.
  std::uint32_t ProcessOf(std::string_view module);

  // A banner of thread tid: it starts tracing at a start banner, stops
  // after a stop banner.
  void Banner(std::uint32_t pid, std::string_view module, std::uint32_t tid,
              bool start);

  // The thread of a line of process pid; socket -1 for none.
  std::uint32_t ThreadOf(std::uint32_t pid, std::string_view module,
                         std::int64_t socket, const LineTime &time);

  // The thread that made or last used a socket; its close forgets it.
  void Use(std::uint32_t pid, std::int64_t socket, std::uint32_t tid);
  void Closed(std::uint32_t pid, std::int64_t socket);

  // The slice of a line on thread tid: a timed call at its start (or just
  // after the thread's previous slice, moved_us later, when it would
  // overlap it), any other line an instant at its thread's previous time
  // plus its elapsed milliseconds, within its clock second. Never earlier
  // than the thread's previous slice.
  SliceRef Place(std::uint32_t pid, std::uint32_t tid, const LineTime &time,
                 std::uint64_t &moved_us);

 private:
  struct Thread {
    std::uint64_t last_us = 0;  // end of its latest slice
  };
  struct Process {
    std::vector<std::string> modules;  // as named so far
    std::vector<std::uint32_t> tracing;
    std::uint32_t current = 0;
    std::uint32_t fresh = 0;  // started tracing; its first line not seen
    std::map<std::int64_t, std::uint32_t> owners;  // socket to thread
  };

  Thread &ThreadAt(std::uint32_t pid, std::uint32_t tid,
                   std::string_view module);
  void NameProcess(std::uint32_t pid, Process &p, std::string_view module);

  TraceEvents &events_;
  std::string label_;
  std::uint32_t file_ = 0;  // the current file's number
  std::uint32_t file_pid_ = 0;
  std::uint32_t next_made_up_ = kMadeUpPid;
  // (file number, module) to its made-up pid
  std::map<std::pair<std::uint32_t, std::string>, std::uint32_t> made_up_;
  std::map<std::uint32_t, Process> processes_;
  std::map<std::pair<std::uint32_t, std::uint32_t>, Thread> threads_;
  std::set<std::pair<std::uint32_t, std::uint32_t>> named_;
};

}  // namespace nqtimeline

#endif  // NQ_TOOLS_NETQUILL_TIMELINE_THREADS_H
