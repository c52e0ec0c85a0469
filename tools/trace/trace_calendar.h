// The day of a trace's lines. A line holds only its local time of day; the
// date comes from the latest start banner of its file (before the first,
// from the file's modification date). A time of day more than twelve hours
// before the file's latest one has passed midnight, and moves the date on;
// after that, one more than twelve hours after the latest belongs to the
// day before (a line written late by a thread that started before
// midnight). Before the clock has passed midnight, a line far ahead is of
// the same day: the program was idle.
#ifndef NQ_TOOLS_TRACE_TRACE_CALENDAR_H
#define NQ_TOOLS_TRACE_TRACE_CALENDAR_H

#include <cstdint>

namespace nqtrace {

class Calendar {
 public:
  explicit Calendar(std::int64_t days) : days_(days) {}

  // A banner's date, for its line and the lines after it.
  void SetDate(std::int64_t days);

  // The start of the clock second hhmmss (read as a decimal number), in
  // microseconds since 1970-01-01 of the local clock.
  std::uint64_t SecondUs(std::uint32_t hhmmss);

 private:
  std::int64_t days_;
  std::int64_t last_second_ = -1;  // of the day, the file's latest
  bool passed_midnight_ = false;   // since the date was last given
};

}  // namespace nqtrace

#endif  // NQ_TOOLS_TRACE_TRACE_CALENDAR_H
