// The date of the start and stop banners.
#include "core/context.h"
#include "output/format.h"
#include "platform/os.h"

namespace nq {

const char *FormatBannerDate() {
  static char text[32];
  LocalTime now;
  g_os.local_time(&now, 1);  // a banner picks up a changed time zone
  Format(text, sizeof text, "%02d-%02d-%04d %02d:%02d:%02d", now.month, now.day,
         now.year, now.hour, now.minute, now.second);
  return text;
}

}  // namespace nq
