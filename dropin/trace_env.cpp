// Reads the drop-ins' settings from the environment.
#include "trace_env.h"

#include <stdlib.h>
#include <string.h>

namespace nqdrop {

namespace {

int DigitValue(char c, int base) {
  int v = -1;
  if (c >= '0' && c <= '9') v = c - '0';
  if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
  if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
  return v < base ? v : -1;
}

}  // namespace

bool ParseFlags(const char *text, uint32_t *flags) {
  if (text == nullptr || *text == '\0') return false;
  int base = 10;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text += 2;
    if (*text == '\0') return false;
  }
  uint64_t value = 0;
  for (; *text != '\0'; ++text) {
    int digit = DigitValue(*text, base);
    if (digit < 0) return false;
    value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    if (value > 0xFFFFFFFFu) return false;
  }
  *flags = static_cast<uint32_t>(value);
  return true;
}

TraceEnv ReadTraceEnv(EnvReader get) {
  TraceEnv env;
  memset(&env, 0, sizeof env);
  const char *trace = get("NETQUILL_TRACE");
  env.on = trace == nullptr || strcmp(trace, "0") != 0;
  // Unreadable flags trace with none rather than not at all.
  if (!ParseFlags(get("NETQUILL_FLAGS"), &env.flags)) env.flags = 0;
  const char *path = get("NETQUILL_FILE");
  if (path != nullptr) {
    // The library would cut a longer path, and the cut one may name a
    // file of the user's: nothing is traced rather than that file changed.
    size_t n = strlen(path);
    if (n >= kTracePathSize) {
      env.on = false;
      return env;
    }
    memcpy(env.path, path, n + 1);
  }
  return env;
}

}  // namespace nqdrop
