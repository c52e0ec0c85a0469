// Reads the drop-ins' settings from the environment.
#include "trace_env.h"

#include <stdlib.h>
#include <string.h>

#include "decimal_text.h"

namespace nqdrop {

namespace {

int DigitValue(char c, int base) {
  int v = -1;
  if (c >= '0' && c <= '9') v = c - '0';
  if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
  if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
  return v < base ? v : -1;
}

const char *const kCallNames[kTracedCalls] = {
#define NQDROP_NAME(name, ...) #name,
    NQ_TRACED_CALLS(NQDROP_NAME) NQ_POSIX_CALLS(NQDROP_NAME)
#undef NQDROP_NAME
};

const char *const kWinsock2Names[kWinsock2Calls] = {
#define NQDROP_NAME(name, ...) #name,
    NQ_WINSOCK2_CALLS(NQDROP_NAME)
#undef NQDROP_NAME
};

// Whether the n characters at text are word. By hand: the drop-in
// WSOCK32.DLL imports few C library functions.
bool Spells(const char *text, size_t n, const char *word) {
  size_t i = 0;
  while (i < n && word[i] != '\0' && word[i] == text[i]) ++i;
  return i == n && word[i] == '\0';
}

// The bit of the n characters at name in each set, 0 where it is none of
// the set's calls.
uint64_t CallBit(const char *name, size_t n) {
  for (int c = 0; c < kTracedCalls; ++c) {
    if (Spells(name, n, kCallNames[c])) return uint64_t{1} << c;
  }
  return 0;
}

uint64_t Winsock2Bit(const char *name, size_t n) {
  for (int c = 0; c < kWinsock2Calls; ++c) {
    if (Spells(name, n, kWinsock2Names[c])) return uint64_t{1} << c;
  }
  return 0;
}

}  // namespace

bool ParseCalls(const char *text, uint64_t *calls, uint64_t *calls2) {
  if (text == nullptr) return false;
  if (Spells(text, 6, "trace=")) text += 6;
  bool all_but = *text == '!';
  if (all_but) ++text;
  uint64_t named = 0, named2 = 0;
  for (;;) {
    size_t n = 0;
    while (text[n] != '\0' && text[n] != ',') ++n;
    uint64_t bit = n != 0 ? CallBit(text, n) : 0;
    uint64_t bit2 = n != 0 ? Winsock2Bit(text, n) : 0;
    if (bit == 0 && bit2 == 0) return false;
    named |= bit;
    named2 |= bit2;
    if (text[n] == '\0') break;
    text += n + 1;
  }
  *calls = all_but ? ~named : named;
  if (calls2 != nullptr) *calls2 = all_but ? ~named2 : named2;
  return true;
}

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

size_t PathLimit(bool per_process) {
  return kTracePathSize - 1 - (per_process ? 1 + kPidDigits : 0);
}

TraceEnv ReadTraceEnv(EnvReader get) {
  TraceEnv env;
  memset(&env, 0, sizeof env);
  const char *trace = get(kTraceVariable);
  env.on = trace == nullptr || strcmp(trace, "0") != 0;
  const char *split = get(kPerProcessVariable);
  env.per_process = split != nullptr && strcmp(split, "1") == 0;
  const char *times = get(kCallTimesVariable);
  env.call_times = times != nullptr && strcmp(times, "1") == 0;
  const char *labels = get(kSocketLabelsVariable);
  env.socket_labels = labels != nullptr && strcmp(labels, "1") == 0;
  // Unreadable flags trace with none rather than not at all.
  if (!ParseFlags(get(kFlagsVariable), &env.flags)) env.flags = 0;
  if (!ParseFlags(get(kDumpMaxVariable), &env.dump_max)) env.dump_max = 0;
  if (!ParseCalls(get(kCallsVariable), &env.calls, &env.calls2))
    env.calls = env.calls2 = kAllCalls;
  const char *path = get(kFileVariable);
  if (path != nullptr) {
    // The library would cut a longer path, and the cut one may name a
    // file of the user's: nothing is traced rather than that file changed.
    size_t n = strlen(path);
    if (n > PathLimit(env.per_process)) {
      env.path_refused = true;
      env.on = false;
      return env;
    }
    memcpy(env.path, path, n + 1);
  }
  return env;
}

bool ProcessPath(const TraceEnv &env, unsigned long pid, char *out) {
  size_t n = strlen(env.path);
  memcpy(out, env.path, n + 1);
  if (!env.per_process || n == 0) return true;
  // This runs in a traced call, perhaps in a signal handler.
  char digits[kMostDecimalDigits];
  const int count = DecimalText(pid, digits);
  if (n + 1 + static_cast<size_t>(count) >= kTracePathSize) {
    out[0] = '\0';
    return false;
  }
  out[n++] = '.';
  memcpy(out + n, digits, static_cast<size_t>(count));
  out[n + static_cast<size_t>(count)] = '\0';
  return true;
}

}  // namespace nqdrop
