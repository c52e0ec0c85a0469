// The readings of a call's clock turned into its start of the local day and
// its duration.
#include "call_clock_win32.h"

namespace nqrun {

volatile bool g_calls_timed = false;
void(WINAPI *g_precise_time)(LPFILETIME now) = GetSystemTimeAsFileTime;

namespace {

LARGE_INTEGER g_frequency;  // the performance counter's ticks a second

}  // namespace

void TimeCalls(bool timed) {
  if (timed) {
    QueryPerformanceFrequency(&g_frequency);
    FARPROC precise = GetProcAddress(GetModuleHandleW(L"kernel32.dll"),
                                     "GetSystemTimePreciseAsFileTime");
    if (precise != nullptr)
      g_precise_time = reinterpret_cast<void(WINAPI *)(LPFILETIME)>(
          reinterpret_cast<void *>(precise));
  }
  g_calls_timed = timed;
}

bool CallTimesOf(const CallClock &clock, nq::CallTimes *times) {
  FILETIME local;
  if (!FileTimeToLocalFileTime(&clock.start, &local)) return false;
  ULONGLONG ticks = (static_cast<ULONGLONG>(local.dwHighDateTime) << 32) |
                    local.dwLowDateTime;  // 100 ns since 1601
  ULONGLONG micros = ticks / 10;
  ULONGLONG counted =
      static_cast<ULONGLONG>(clock.ended.QuadPart - clock.began.QuadPart);
  ULONGLONG took =
      g_frequency.QuadPart > 0
          ? counted / g_frequency.QuadPart * 1000000 +
                counted % g_frequency.QuadPart * 1000000 / g_frequency.QuadPart
          : 0;
  times->start_second = static_cast<uint32_t>(micros / 1000000 % 86400);
  times->start_micro = static_cast<uint32_t>(micros % 1000000);
  times->took_seconds = static_cast<uint32_t>(took / 1000000);
  times->took_micros = static_cast<uint32_t>(took % 1000000);
  return true;
}

}  // namespace nqrun
