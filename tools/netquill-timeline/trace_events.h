// The Trace Event Format (JSON) that Perfetto and chrome://tracing open:
// {"traceEvents":[ one event per line ],"displayTimeUnit":"ms"}, written
// as the events come, through a buffer. Times are microseconds since
// 1970-01-01 of the trace's local clock, as integers.
#ifndef NQ_TOOLS_NETQUILL_TIMELINE_TRACE_EVENTS_H
#define NQ_TOOLS_NETQUILL_TIMELINE_TRACE_EVENTS_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace nqtimeline {

// Where a slice stands: its track and its time.
struct SliceRef {
  std::uint32_t pid = 0;
  std::uint32_t tid = 0;
  std::uint64_t ts = 0;
  std::uint64_t dur = 0;
};

// The args object of an event, built field by field.
class Args {
 public:
  void String(std::string_view key, std::string_view bytes);
  void Int(std::string_view key, std::int64_t value);
  void Uint(std::string_view key, std::uint64_t value);
  bool Empty() const { return text_.empty(); }
  const std::string &Text() const { return text_; }  // without its braces

 private:
  void Key(std::string_view key);
  std::string text_;
};

class TraceEvents {
 public:
  // Writes the opening of the file at once.
  explicit TraceEvents(std::FILE *out);

  // A slice of a call: with a duration ("X"), or an instant ("i") when
  // dur is negative.
  void Slice(std::string_view name, std::string_view cat, const SliceRef &at,
             bool instant, const Args &args);
  // A track's span, from "B" to "E".
  void Begin(std::string_view name, std::uint32_t pid, std::uint32_t tid,
             std::uint64_t ts);
  void End(std::uint32_t pid, std::uint32_t tid, std::uint64_t ts);
  // The bytes a connection has moved so far, two counters of one name.
  void Counter(std::string_view name, std::uint64_t id, std::uint32_t pid,
               std::uint32_t tid, std::uint64_t ts, std::uint64_t sent,
               std::uint64_t received);
  // A flow from one slice to another: "s" bound to the slice it starts
  // from, "f" to the one enclosing its time ("bp":"e").
  void Flow(std::string_view name, std::uint64_t id, const SliceRef &from,
            const SliceRef &to);
  void ProcessName(std::uint32_t pid, std::string_view name);
  void ThreadName(std::uint32_t pid, std::uint32_t tid, std::string_view name);

  // Closes the file's array and object and flushes; false when a write
  // failed, now or before.
  bool Finish();
  std::uint64_t Count() const { return count_; }

 private:
  void Head(std::string_view name, std::string_view cat, char phase,
            std::uint32_t pid, std::uint32_t tid, std::uint64_t ts);
  void Close(const Args *args);
  void MaybeFlush();

  std::FILE *out_;
  std::string buffer_;
  std::uint64_t count_ = 0;
  bool failed_ = false;
};

}  // namespace nqtimeline

#endif  // NQ_TOOLS_NETQUILL_TIMELINE_TRACE_EVENTS_H
