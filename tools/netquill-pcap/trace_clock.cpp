#include "trace_clock.h"

#include <algorithm>

namespace nqpcap {
namespace {

constexpr std::int64_t kHalfDay = 12 * 3600;

}  // namespace

void TraceClock::SetDate(std::int64_t days) {
  days_ = days;
  last_second_of_day_ = -1;
}

std::uint64_t TraceClock::LineTime(std::string_view module,
                                   std::uint32_t hhmmss,
                                   std::uint64_t elapsed_ms) {
  const std::int64_t second_of_day =
      hhmmss / 10000 * 3600 + hhmmss / 100 % 100 * 60 + hhmmss % 100;
  if (last_second_of_day_ - second_of_day > kHalfDay) ++days_;
  last_second_of_day_ = second_of_day;

  auto it = modules_.find(module);
  if (it == modules_.end())
    it = modules_.emplace(std::string(module), ModuleSecond{}).first;
  ModuleSecond &m = it->second;
  if (m.second != hhmmss) {
    // The first line of a second starts it; its elapsed time mostly lies
    // in the seconds before.
    m.second = hhmmss;
    m.ms = 0;
  } else {
    m.ms = std::min<std::uint64_t>(
        m.ms + std::min<std::uint64_t>(elapsed_ms, 999), 999);
  }
  const std::int64_t seconds = days_ * 86400 + second_of_day;
  return static_cast<std::uint64_t>(std::max<std::int64_t>(seconds, 0)) *
             1000000 +
         m.ms * 1000;
}

}  // namespace nqpcap
