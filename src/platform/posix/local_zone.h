// Local time without the C library's time-zone lock, so that a record can
// be written from a signal handler that interrupted localtime_r.
#ifndef NQ_PLATFORM_POSIX_LOCAL_ZONE_H
#define NQ_PLATFORM_POSIX_LOCAL_ZONE_H

// A header of the platform floor: a file below it must not include it.
#if NQ_FLOOR < 1
#error "src/platform/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stdint.h>

#include "platform/os.h"

namespace nq {

// Reads the zone (TZ, else the system's) as localtime_r applies it from
// now (seconds since 1970) on: the UTC offset at now and every change of
// it over the next three years, each to the second. Not async-signal-safe;
// called once, when the library is loaded.
void ZoneRead(int64_t now);

// utc as calendar time under the zone read: arithmetic only.
void ZoneLocalTime(int64_t utc, LocalTime *out);

}  // namespace nq

#endif
