// The clock's zone, read once, reads as localtime_r across its changes of
// offset: each quarter hour of a year and the second before it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "platform/posix/local_zone.h"

TEST(LocalZone, ReadsAsLocaltimeAcrossChangesOfOffset) {
  const int64_t k2026 = 1767225600;  // 2026-01-01 00:00:00 UTC
  for (const char *zone : {"CET-1CEST,M3.5.0,M10.5.0/3", "<-03>3",
                           "LHST-10:30LHDT-11,M10.1.0,M4.1.0"}) {
    setenv("TZ", zone, 1);
    nq::ZoneRead(k2026);
    for (int64_t t = k2026 - 1; t < k2026 + 366 * 86400; t += t % 2 ? 1 : 899) {
      time_t when = static_cast<time_t>(t);
      struct tm tm;
      nq::LocalTime ours;
      nq::ZoneLocalTime(t, &ours);
      ASSERT_TRUE(localtime_r(&when, &tm) && ours.year == tm.tm_year + 1900 &&
                  ours.month == tm.tm_mon + 1 && ours.day == tm.tm_mday &&
                  ours.hour == tm.tm_hour && ours.minute == tm.tm_min &&
                  ours.second == tm.tm_sec)
          << zone << " at " << t;
    }
  }
  unsetenv("TZ");
  nq::ZoneRead(time(nullptr));
}
