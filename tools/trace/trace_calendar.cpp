#include "trace_calendar.h"

namespace nqtrace {
namespace {

constexpr std::int64_t kHalfDay = 12 * 3600;

}  // namespace

void Calendar::SetDate(std::int64_t days) {
  days_ = days;
  last_second_ = -1;
  passed_midnight_ = false;
}

std::uint64_t Calendar::SecondUs(std::uint32_t hhmmss) {
  const std::int64_t second =
      hhmmss / 10000 * 3600 + hhmmss / 100 % 100 * 60 + hhmmss % 100;
  std::int64_t days = days_;
  if (last_second_ >= 0 && last_second_ - second > kHalfDay) {
    days = ++days_;
    last_second_ = second;
    passed_midnight_ = true;
  } else if (passed_midnight_ && second - last_second_ > kHalfDay) {
    --days;  // the day before; the file's latest time stays
  } else if (second > last_second_) {
    last_second_ = second;
  }
  const std::int64_t seconds = days * 86400 + second;
  return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds) * 1000000;
}

}  // namespace nqtrace
