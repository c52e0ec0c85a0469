#include "trace_events.h"

#include "json_string.h"

namespace nqtimeline {
namespace {

constexpr std::size_t kFlushAt = 256 * 1024;

void AppendUint(std::string &out, std::uint64_t value) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) out.push_back(digits[--n]);
}

}  // namespace

void Args::Key(std::string_view key) {
  if (!text_.empty()) text_.push_back(',');
  nqtrace::AppendJsonString(text_, key);
  text_.push_back(':');
}

void Args::String(std::string_view key, std::string_view bytes) {
  Key(key);
  nqtrace::AppendJsonString(text_, bytes);
}

void Args::Int(std::string_view key, std::int64_t value) {
  Key(key);
  if (value < 0) text_.push_back('-');
  AppendUint(text_, value < 0 ? 0 - static_cast<std::uint64_t>(value)
                              : static_cast<std::uint64_t>(value));
}

void Args::Uint(std::string_view key, std::uint64_t value) {
  Key(key);
  AppendUint(text_, value);
}

TraceEvents::TraceEvents(std::FILE *out) : out_(out) {
  buffer_ = "{\"traceEvents\":[";
}

void TraceEvents::Head(std::string_view name, std::string_view cat, char phase,
                       std::uint32_t pid, std::uint32_t tid, std::uint64_t ts) {
  buffer_.append(count_++ == 0 ? "\n" : ",\n");
  buffer_.append("{\"name\":");
  nqtrace::AppendJsonString(buffer_, name);
  if (!cat.empty()) {
    buffer_.append(",\"cat\":");
    nqtrace::AppendJsonString(buffer_, cat);
  }
  buffer_.append(",\"ph\":\"");
  buffer_.push_back(phase);
  buffer_.append("\",\"ts\":");
  AppendUint(buffer_, ts);
  buffer_.append(",\"pid\":");
  AppendUint(buffer_, pid);
  buffer_.append(",\"tid\":");
  AppendUint(buffer_, tid);
}

void TraceEvents::Close(const Args *args) {
  if (args != nullptr) {
    buffer_.append(",\"args\":{");
    buffer_.append(args->Text());
    buffer_.push_back('}');
  }
  buffer_.push_back('}');
  MaybeFlush();
}

void TraceEvents::Slice(std::string_view name, std::string_view cat,
                        const SliceRef &at, bool instant, const Args &args) {
  Head(name, cat, instant ? 'i' : 'X', at.pid, at.tid, at.ts);
  if (instant) {
    buffer_.append(",\"s\":\"t\"");
  } else {
    buffer_.append(",\"dur\":");
    AppendUint(buffer_, at.dur);
  }
  Close(&args);
}

void TraceEvents::Begin(std::string_view name, std::uint32_t pid,
                        std::uint32_t tid, std::uint64_t ts) {
  Head(name, "connection", 'B', pid, tid, ts);
  Close(nullptr);
}

void TraceEvents::End(std::uint32_t pid, std::uint32_t tid, std::uint64_t ts) {
  Head("", "connection", 'E', pid, tid, ts);
  Close(nullptr);
}

void TraceEvents::Counter(std::string_view name, std::uint64_t id,
                          std::uint32_t pid, std::uint32_t tid,
                          std::uint64_t ts, std::uint64_t sent,
                          std::uint64_t received) {
  Head(name, "connection", 'C', pid, tid, ts);
  buffer_.append(",\"id\":");
  AppendUint(buffer_, id);
  Args args;
  args.Uint("sent", sent);
  args.Uint("received", received);
  Close(&args);
}

void TraceEvents::Flow(std::string_view name, std::uint64_t id,
                       const SliceRef &from, const SliceRef &to) {
  // Bound by the slices' own category and time: chrome://tracing and
  // Perfetto take the slice that encloses a flow event's time on its
  // thread.
  Head(name, "call", 's', from.pid, from.tid, from.ts);
  buffer_.append(",\"id\":");
  AppendUint(buffer_, id);
  Close(nullptr);
  Head(name, "call", 'f', to.pid, to.tid, to.ts);
  buffer_.append(",\"bp\":\"e\",\"id\":");
  AppendUint(buffer_, id);
  Close(nullptr);
}

void TraceEvents::ProcessName(std::uint32_t pid, std::string_view name) {
  Args args;
  args.String("name", name);
  Head("process_name", "", 'M', pid, 0, 0);
  Close(&args);
}

void TraceEvents::ThreadName(std::uint32_t pid, std::uint32_t tid,
                             std::string_view name) {
  Args args;
  args.String("name", name);
  Head("thread_name", "", 'M', pid, tid, 0);
  Close(&args);
}

void TraceEvents::MaybeFlush() {
  if (buffer_.size() < kFlushAt) return;
  if (std::fwrite(buffer_.data(), 1, buffer_.size(), out_) != buffer_.size())
    failed_ = true;
  buffer_.clear();
}

bool TraceEvents::Finish() {
  buffer_.append("\n],\"displayTimeUnit\":\"ms\"}\n");
  if (std::fwrite(buffer_.data(), 1, buffer_.size(), out_) != buffer_.size())
    failed_ = true;
  buffer_.clear();
  if (std::fflush(out_) != 0) failed_ = true;
  return !failed_;
}

}  // namespace nqtimeline
