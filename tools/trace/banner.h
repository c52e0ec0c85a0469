// What a thread's start and stop banners say:
//
//   started process 0x104 trace on 12-07-2026 23:07:25 [4.0.4000]
//   stopped process 0x104 trace on 12-07-2026 23:09:02
//
// the id of the thread that traces (the word says process; the number is
// the thread's, in upper-case hex) and the local date, month first, then
// the time of day.
#ifndef NQ_TOOLS_TRACE_BANNER_H
#define NQ_TOOLS_TRACE_BANNER_H

#include <cstdint>
#include <string_view>

namespace nqtrace {

// The process id a per-process trace's name ends in (".1234" after the
// last path separator, as netquill-run -ff names them); 0 for any other
// name, a leading zero or a number past 32 bits.
std::uint32_t ProcessOfTraceName(std::string_view name);

// The thread id of a banner text; 0 when unreadable.
std::uint32_t BannerThread(std::string_view text);

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day);

// The date of a banner text, as days since 1970-01-01. False if the text
// has none.
bool BannerDate(std::string_view text, std::int64_t &days);

}  // namespace nqtrace

#endif  // NQ_TOOLS_TRACE_BANNER_H
