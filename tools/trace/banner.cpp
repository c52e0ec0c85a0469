#include "banner.h"

#include <cstddef>

namespace nqtrace {
namespace {

constexpr std::string_view kTraceOn = " trace on ";

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

std::uint32_t ProcessOfTraceName(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  const std::size_t slash = name.find_last_of("/\\");
  if (dot == std::string_view::npos ||
      (slash != std::string_view::npos && dot < slash))
    return 0;
  const std::string_view digits = name.substr(dot + 1);
  if (digits.empty() || digits.size() > 10 || digits[0] == '0') return 0;
  std::uint64_t id = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    id = id * 10 + static_cast<unsigned>(c - '0');
  }
  return id <= 0xFFFFFFFFu ? static_cast<std::uint32_t>(id) : 0;
}

std::uint32_t BannerThread(std::string_view text) {
  const std::size_t at = text.find("process 0x");
  if (at == std::string_view::npos) return 0;
  std::uint64_t id = 0;
  std::size_t digits = 0;
  for (char c : text.substr(at + 10)) {
    const int v = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : -1;
    if (v < 0 || ++digits > 8) break;
    id = id << 4 | static_cast<unsigned>(v);
  }
  return digits >= 1 && digits <= 8 ? static_cast<std::uint32_t>(id) : 0;
}

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

}  // namespace nqtrace
