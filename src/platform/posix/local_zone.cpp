// The zone as a short table of UTC offsets, each with the instant it
// starts. localtime_r fills it at load; afterwards converting a time is a
// table lookup and calendar arithmetic, with no lock, file or allocation.
// What this gives up: a zone changed after load (TZ set by the program, a
// new /etc/localtime) is not seen, and past the last change looked for the
// last offset stays. The program must not notice the read: its zone
// globals are put back, and a zone file that is not a regular file (TZ
// naming /dev/stdin or a FIFO) is not opened; the clock is then UTC.
#include "platform/posix/local_zone.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

namespace nq {
namespace {

constexpr int kMaxSpans = 16;
constexpr int64_t kDay = 86400;
// Zones change their offset at most a few times a year and never twice
// within a day, so a look a day apart finds every change.
constexpr int64_t kHorizon = 3 * 366 * kDay;

struct ZoneSpan {
  int64_t from;    // first second (UTC) the offset applies to
  int32_t offset;  // local minus UTC, in seconds
};

ZoneSpan g_spans[kMaxSpans];  // by from, the first from the beginning
int g_span_count;             // written at load only

int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - (a % b != 0 && (a < 0) != (b < 0));
}

// Days since 1970-01-01 of a date of the Gregorian calendar.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  int64_t era = FloorDiv(y, 400);
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, LocalTime *out) {
  z += 719468;
  int64_t era = FloorDiv(z, 146097);
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  out->year = static_cast<int>(yoe + era * 400 + (m <= 2));
  out->month = m;
  out->day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
}

// What localtime_r shows at t, less t: added back, it gives that reading.
int32_t OffsetAt(int64_t t) {
  time_t when = static_cast<time_t>(t);
  struct tm tm;
  if (localtime_r(&when, &tm) == nullptr) return 0;
  int64_t local =
      DaysFromCivil(tm.tm_year + 1900LL, tm.tm_mon + 1, tm.tm_mday) * kDay +
      tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
  return static_cast<int32_t>(local - t);
}

// Whether the C library may read its zone: the file TZ names (as glibc
// finds it: /etc/localtime when unset, a name without a leading '/' under
// TZDIR) is a regular file or none at all (then TZ is read as a rule such
// as "EST5EDT"). A FIFO or a device, such as TZ=":/dev/stdin", would take
// the program's input or wait for a writer.
bool ZoneFileReadable() {
  const char *tz = getenv("TZ");
  if (tz != nullptr && tz[0] == '\0') tz = "Universal";
  if (tz != nullptr && tz[0] == ':') ++tz;
  if (tz == nullptr || tz[0] == '\0') tz = "/etc/localtime";
  char path[4096];
  const char *file = tz;
  if (tz[0] != '/') {
    const char *dir = getenv("TZDIR");
    if (dir == nullptr || dir[0] == '\0') dir = "/usr/share/zoneinfo";
    int n = snprintf(path, sizeof path, "%s/%s", dir, tz);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) return false;
    file = path;
  }
  struct stat st;
  if (stat(file, &st) != 0) return errno == ENOENT || errno == ENOTDIR;
  return S_ISREG(st.st_mode);
}

// The program's view of the zone, which tzset and localtime_r set: put
// back as it was, so that loading the library changes nothing it sees.
struct ZoneGlobals {
  char *names[2];
  long zone;
  int daylight;
};

ZoneGlobals SaveZoneGlobals() {
  return {{tzname[0], tzname[1]}, timezone, daylight};
}

void RestoreZoneGlobals(const ZoneGlobals &g) {
  tzname[0] = g.names[0];
  tzname[1] = g.names[1];
  timezone = g.zone;
  daylight = g.daylight;
}

const bool g_zone_read = (ZoneRead(time(nullptr)), true);

}  // namespace

void ZoneRead(int64_t now) {
  int saved = errno;          // reading the zone files may set it
  if (!ZoneFileReadable()) {  // the trace's clock is then UTC
    g_spans[0] = {INT64_MIN, 0};
    g_span_count = 1;
    errno = saved;
    return;
  }
  ZoneGlobals globals = SaveZoneGlobals();
  tzset();
  int32_t offset = OffsetAt(now);
  g_spans[0] = {INT64_MIN, offset};
  int count = 1;
  for (int64_t t = now; t < now + kHorizon && count < kMaxSpans;) {
    if (OffsetAt(t + kDay) == offset) {
      t += kDay;
      continue;
    }
    // The change lies after t and at or before t + kDay: halve to it.
    int64_t before = t, after = t + kDay;
    while (after - before > 1) {
      int64_t mid = before + (after - before) / 2;
      if (OffsetAt(mid) == offset)
        before = mid;
      else
        after = mid;
    }
    offset = OffsetAt(after);
    g_spans[count++] = {after, offset};
    t = after;
  }
  g_span_count = count;
  RestoreZoneGlobals(globals);
  errno = saved;
}

void ZoneLocalTime(int64_t utc, LocalTime *out) {
  int i = g_span_count - 1;
  while (i > 0 && utc < g_spans[i].from) --i;
  int64_t local = utc + (i >= 0 ? g_spans[i].offset : 0);
  int64_t day = FloorDiv(local, kDay);
  int64_t second = local - day * kDay;
  CivilFromDays(day, out);
  out->hour = static_cast<int>(second / 3600);
  out->minute = static_cast<int>(second / 60 % 60);
  out->second = static_cast<int>(second % 60);
}

}  // namespace nq
