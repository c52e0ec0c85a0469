// Frame times from a trace. A line holds only its local clock second
// (HHMMSS) and the milliseconds since its thread's previous line; the date
// comes from the trace's start banner ("trace on MM-DD-YYYY hh:mm:ss"), or
// the file's modification date before the first banner. Within one clock
// second, the elapsed milliseconds of a module's lines are summed (capped
// at 999) to order its lines inside that second: exact to the second,
// an estimate below it. A call line timed by the launcher has its start to
// the microsecond (HHMMSS.UUUUUU), which is taken as it is. The local time
// is written as if it were UTC.
#ifndef NQ_TOOLS_NETQUILL_PCAP_TRACE_CLOCK_H
#define NQ_TOOLS_NETQUILL_PCAP_TRACE_CLOCK_H

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "banner.h"
#include "trace_calendar.h"

namespace nqpcap {

using nqtrace::BannerDate;
using nqtrace::DaysFromCivil;

class TraceClock {
 public:
  explicit TraceClock(std::int64_t days) : calendar_(days) {}

  // A banner's date, for its line and the lines after it.
  void SetDate(std::int64_t days) { calendar_.SetDate(days); }

  // The time of a text line in microseconds since 1970. Every text line
  // goes through here, so that each module's sum within a second is whole.
  // A clock that steps back more than twelve hours has passed midnight;
  // one more than twelve hours ahead of the file's latest is a line of the
  // day before, written late.
  std::uint64_t LineTime(std::string_view module, std::uint32_t hhmmss,
                         std::uint64_t elapsed_ms);

  // The time of a line whose clock has its microseconds, exact; the
  // module's lines after it in that second go on from it.
  std::uint64_t ExactLineTime(std::string_view module, std::uint32_t hhmmss,
                              std::uint32_t micros);

 private:
  struct ModuleSecond {
    std::uint32_t second = 0xFFFFFFFF;  // HHMMSS of the module's last line
    std::uint64_t ms = 0;               // summed within that second
  };

  ModuleSecond &Module(std::string_view module);

  nqtrace::Calendar calendar_;
  std::map<std::string, ModuleSecond, std::less<>> modules_;
};

}  // namespace nqpcap

#endif  // NQ_TOOLS_NETQUILL_PCAP_TRACE_CLOCK_H
