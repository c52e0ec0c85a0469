// Flows from an overlapped call that went on in the background (a pending
// line, [997]) to the line through which the program learnt of its
// completion: the same process, socket and operation, and the OVERLAPPED
// the completion names among the pending call's arguments (the oldest such
// call first, as one OVERLAPPED serves one call at a time).
#ifndef NQ_TOOLS_NETQUILL_TIMELINE_OVERLAPPED_H
#define NQ_TOOLS_NETQUILL_TIMELINE_OVERLAPPED_H

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "call_args.h"
#include "trace_events.h"

namespace nqtimeline {

class Overlapped {
 public:
  Overlapped(TraceEvents &events, std::uint64_t &next_flow)
      : events_(events), next_flow_(next_flow) {}

  void Pending(std::uint32_t pid, std::int64_t socket,
               std::string_view function, const nqtrace::CallArgs &args,
               const SliceRef &slice);
  void Completed(std::uint32_t pid, std::int64_t socket,
                 std::string_view operation, std::string_view overlapped,
                 const SliceRef &slice);

  std::uint64_t Flows() const { return flows_; }
  // Pending calls whose completion is not in the traces (so far).
  std::uint64_t Waiting() const { return calls_.size(); }

 private:
  using Key = std::tuple<std::uint32_t, std::int64_t, std::string>;
  struct Call {
    Key key;
    std::vector<std::string> pointers;  // its arguments written as 0x...
    SliceRef slice;
  };

  TraceEvents &events_;
  std::uint64_t &next_flow_;
  std::uint64_t flows_ = 0;
  std::uint64_t next_order_ = 0;
  std::map<std::uint64_t, Call> calls_;             // by their order
  std::map<Key, std::vector<std::uint64_t>> keys_;  // the same, by key
};

}  // namespace nqtimeline

#endif  // NQ_TOOLS_NETQUILL_TIMELINE_OVERLAPPED_H
