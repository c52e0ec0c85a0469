// The clock column's zone, read once: every quarter hour of a year, and
// the second before each, reads as localtime_r reads it, across the
// zone's changes of offset.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "platform/posix/local_zone.h"

TEST(LocalZone, ReadsAsLocaltimeAcrossChangesOfOffset) {
  const int64_t k2026 = 1767225600;  // 2026-01-01 00:00:00 UTC
  const char *zones[] = {"CET-1CEST,M3.5.0,M10.5.0/3",
                         "LHST-10:30LHDT-11,M10.1.0,M4.1.0", "<-03>3", "UTC0"};
  for (const char *zone : zones) {
    setenv("TZ", zone, 1);
    nq::ZoneRead(k2026);
    for (int64_t t = k2026 - 1; t < k2026 + 366 * 86400;
         t += t % 2 != 0 ? 1 : 899) {
      time_t when = static_cast<time_t>(t);
      struct tm tm;
      nq::LocalTime ours;
      ASSERT_NE(localtime_r(&when, &tm), nullptr);
      nq::ZoneLocalTime(t, &ours);
      ASSERT_EQ(
          ours.year * 10000 + ours.month * 100 + ours.day,
          (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday)
          << zone << " " << t;
      ASSERT_EQ(ours.hour * 3600 + ours.minute * 60 + ours.second,
                tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec)
          << zone << " " << t;
    }
  }
  unsetenv("TZ");
  nq::ZoneRead(time(nullptr));
}
