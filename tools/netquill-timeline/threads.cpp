#include "threads.h"

#include <algorithm>
#include <cstdio>

namespace nqtimeline {
namespace {

// More sockets than this open at once in one process means closes are
// missing from the trace: the owners start over.
constexpr std::size_t kMaxOwners = 65536;
constexpr std::uint64_t kSecondUs = 1000000;

std::string Hex(std::uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(id));
  return text;
}

}  // namespace

void Threads::BeginFile(std::string_view label, std::uint32_t pid) {
  label_.assign(label);
  ++file_;
  file_pid_ = pid;
}

std::uint32_t Threads::ProcessOf(std::string_view module) {
  std::uint32_t pid = file_pid_;
  if (pid == 0) {
    auto it = made_up_.find({file_, std::string(module)});
    if (it == made_up_.end())
      it = made_up_
               .emplace(std::make_pair(file_, std::string(module)),
                        next_made_up_++)
               .first;
    pid = it->second;
  }
  Process &p = processes_[pid];
  if (std::find(p.modules.begin(), p.modules.end(), module) == p.modules.end())
    NameProcess(pid, p, module);
  return pid;
}

void Threads::NameProcess(std::uint32_t pid, Process &p,
                          std::string_view module) {
  // A process that executes another program keeps its id under a new
  // module name: it is named by all of them.
  p.modules.emplace_back(module);
  std::string name;
  for (const std::string &m : p.modules) {
    if (!name.empty()) name += " / ";
    name += m;
  }
  if (pid < kMadeUpPid)
    name += " (pid " + std::to_string(pid) + ")";
  else
    name += " (" + label_ + ")";
  events_.ProcessName(pid, name);
}

Threads::Thread &Threads::ThreadAt(std::uint32_t pid, std::uint32_t tid,
                                   std::string_view module) {
  if (named_.insert({pid, tid}).second) {
    std::string name(module);
    if (tid == pid && pid >= kMadeUpPid)
      name += " thread not known";
    else
      name += " thread " + Hex(tid);
    if (tid == pid && pid < kMadeUpPid) name += " (main)";
    events_.ThreadName(pid, tid, name);
  }
  return threads_[{pid, tid}];
}

void Threads::Banner(std::uint32_t pid, std::string_view module,
                     std::uint32_t tid, bool start) {
  Process &p = processes_[pid];
  auto at = std::find(p.tracing.begin(), p.tracing.end(), tid);
  if (start) {
    if (at == p.tracing.end()) p.tracing.push_back(tid);
    p.current = tid;
    p.fresh = tid;
    ThreadAt(pid, tid, module);
  } else if (at != p.tracing.end()) {
    p.tracing.erase(at);
  }
}

std::uint32_t Threads::ThreadOf(std::uint32_t pid, std::string_view module,
                                std::int64_t socket, const LineTime &time) {
  Process &p = processes_[pid];
  std::uint32_t tid = pid;  // no thread tracing: a track of its own
  if (p.tracing.size() == 1) {
    tid = p.tracing[0];
  } else if (!p.tracing.empty()) {
    tid = p.current;
    const auto owner = p.owners.find(socket);
    const auto tracing = [&p](std::uint32_t t) {
      return std::find(p.tracing.begin(), p.tracing.end(), t) !=
             p.tracing.end();
    };
    // A thread handed a socket (a server's worker given the accepted
    // connection) makes its first call on a socket another thread made.
    if (p.fresh != 0 && tracing(p.fresh))
      tid = p.fresh;
    else if (owner != p.owners.end() && tracing(owner->second))
      tid = owner->second;
    // A thread makes one call at a time: a call that starts before the
    // chosen thread's previous one ended is another thread's, the one
    // free at its start that was busy last.
    if (time.timed && ThreadAt(pid, tid, module).last_us > time.start_us) {
      std::uint32_t best = tid;
      std::uint64_t best_last = 0;
      bool found = false;
      for (std::uint32_t t : p.tracing) {
        const std::uint64_t last = ThreadAt(pid, t, module).last_us;
        if (last <= time.start_us && (!found || last > best_last)) {
          best = t;
          best_last = last;
          found = true;
        }
      }
      tid = best;
    }
  }
  p.current = tid;
  p.fresh = 0;
  ThreadAt(pid, tid, module);
  return tid;
}

void Threads::Use(std::uint32_t pid, std::int64_t socket, std::uint32_t tid) {
  Process &p = processes_[pid];
  if (p.owners.size() >= kMaxOwners && p.owners.count(socket) == 0)
    p.owners.clear();
  p.owners[socket] = tid;
}

void Threads::Closed(std::uint32_t pid, std::int64_t socket) {
  processes_[pid].owners.erase(socket);
}

SliceRef Threads::Place(std::uint32_t pid, std::uint32_t tid,
                        const LineTime &time, std::uint64_t &moved_us) {
  Thread &t = threads_[{pid, tid}];
  SliceRef at{pid, tid, 0, 0};
  moved_us = 0;
  if (time.timed) {
    at.ts = std::max(time.start_us, t.last_us);
    moved_us = at.ts - time.start_us;
    at.dur = time.dur_us;
  } else {
    // The elapsed milliseconds count from the thread's previous line; the
    // clock second bounds them.
    const std::uint64_t after = t.last_us + time.elapsed_ms * 1000;
    at.ts = std::max(t.last_us, std::clamp(after, time.second_us,
                                           time.second_us + kSecondUs - 1));
  }
  t.last_us = at.ts + at.dur;
  return at;
}

}  // namespace nqtimeline
