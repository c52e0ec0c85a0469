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

std::int64_t TraceClock::SecondsOf(std::uint32_t hhmmss) {
  const std::int64_t second_of_day =
      hhmmss / 10000 * 3600 + hhmmss / 100 % 100 * 60 + hhmmss % 100;
  if (last_second_of_day_ - second_of_day > kHalfDay) ++days_;
  last_second_of_day_ = second_of_day;
  return std::max<std::int64_t>(days_ * 86400 + second_of_day, 0);
}

TraceClock::ModuleSecond &TraceClock::Module(std::string_view module) {
  auto it = modules_.find(module);
  if (it == modules_.end())
    it = modules_.emplace(std::string(module), ModuleSecond{}).first;
  return it->second;
}

std::uint64_t TraceClock::LineTime(std::string_view module,
                                   std::uint32_t hhmmss,
                                   std::uint64_t elapsed_ms) {
  const std::int64_t seconds = SecondsOf(hhmmss);
  ModuleSecond &m = Module(module);
  if (m.second != hhmmss) {
    // The first line of a second starts it; its elapsed time mostly lies
    // in the seconds before.
    m.second = hhmmss;
    m.ms = 0;
  } else {
    m.ms = std::min<std::uint64_t>(
        m.ms + std::min<std::uint64_t>(elapsed_ms, 999), 999);
  }
  return static_cast<std::uint64_t>(seconds) * 1000000 + m.ms * 1000;
}

std::uint64_t TraceClock::ExactLineTime(std::string_view module,
                                        std::uint32_t hhmmss,
                                        std::uint32_t micros) {
  const std::int64_t seconds = SecondsOf(hhmmss);
  ModuleSecond &m = Module(module);
  m.second = hhmmss;
  m.ms = micros / 1000;
  return static_cast<std::uint64_t>(seconds) * 1000000 + micros;
}

}  // namespace nqpcap
