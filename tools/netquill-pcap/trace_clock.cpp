#include "trace_clock.h"

#include <algorithm>

namespace nqpcap {
namespace {

constexpr std::string_view kTraceOn = " trace on ";
constexpr std::int64_t kHalfDay = 12 * 3600;

bool Digits(std::string_view s, std::size_t at, std::size_t n,
            unsigned &value) {
  value = 0;
  if (at + n > s.size()) return false;
  for (std::size_t i = at; i < at + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    value = value * 10 + static_cast<unsigned>(s[i] - '0');
  }
  return true;
}

}  // namespace

std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  // Howard Hinnant's days_from_civil.
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool BannerDate(std::string_view text, std::int64_t &days) {
  const std::size_t on = text.find(kTraceOn);
  if (on == std::string_view::npos) return false;
  const std::size_t at = on + kTraceOn.size();
  unsigned month, day, year;
  if (!Digits(text, at, 2, month) || !Digits(text, at + 3, 2, day) ||
      !Digits(text, at + 6, 4, year) || text[at + 2] != '-' ||
      text[at + 5] != '-' || month < 1 || month > 12 || day < 1 || day > 31)
    return false;
  days = DaysFromCivil(year, month, day);
  return true;
}

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
