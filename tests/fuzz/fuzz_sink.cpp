#include "fuzz_sink.h"

#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "netquill.h"

namespace nqfuzz {
namespace {

constexpr size_t kMaxTraceBytes = 4u << 20;

std::string g_path;
size_t g_written;
std::vector<std::string> g_records;
bool g_fail;
uint32_t g_tick;
nq::LocalTime g_time;
int g_code;
int g_handed_back = -1;
int g_hand_backs;

int SinkAppend(const char *path, const void *data, size_t size) {
  if (g_path != path) Fail("an append to another path", g_path, path);
  g_records.emplace_back(static_cast<const char *>(data), size);
  if (g_fail) return 0;
  if (g_written + size > kMaxTraceBytes) {
    std::ofstream(g_path, std::ios::binary | std::ios::trunc);
    g_written = 0;
  }
  g_written += size;
  return nq::NativeOsServices().append(path, data, size);
}

uint32_t FixedTick() { return g_tick; }

void FixedTime(nq::LocalTime *out, int) { *out = g_time; }

int NQ_CALL GetError() { return g_code; }

void NQ_CALL SetError(int code) {
  g_handed_back = code;
  ++g_hand_backs;
}

void RemoveTrace() {
  std::error_code ec;
  std::filesystem::remove(g_path, ec);
}

}  // namespace

void SetUp() {
  if (!g_path.empty()) return;
  auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  g_path = (std::filesystem::temp_directory_path() /
            ("nqfuzz-" + std::to_string(stamp) + ".log"))
               .string();
  atexit(RemoveTrace);
  nq::g_os.append = SinkAppend;
  nq::g_os.tick_ms = FixedTick;
  nq::g_os.local_time = FixedTime;
  TraceErrorHooks hooks = {GetError, SetError};
  WSASetupTrace(&hooks);
  if (WSAEnableTrace(g_path.c_str(), 0) != 1) Fail("cannot enable tracing");
  g_records.clear();
}

std::vector<std::string> TakeRecords() {
  std::vector<std::string> out;
  out.swap(g_records);
  return out;
}

void FailAppends(bool fail) { g_fail = fail; }

void SetClock(uint32_t tick, const nq::LocalTime &time) {
  g_tick = tick;
  g_time = time;
}

void SetCallerError(int code) { g_code = code; }
int HandedBack() { return g_handed_back; }
int HandBacks() { return g_hand_backs; }

void ResetHandBacks() {
  g_handed_back = -1;
  g_hand_backs = 0;
}

void Fail(const char *what, const std::string &want, const std::string &got) {
  fprintf(stderr, "FAULT: %s\n  want: [%s]\n  got:  [%s]\n", what, want.c_str(),
          got.c_str());
  fflush(stderr);
  abort();
}

std::string DumpText(size_t indent, const uint8_t *bytes, size_t n) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve((n / 16 + 1) * (indent + 80));
  for (size_t at = 0; at < n; at += 16) {
    char line[96];
    int len = snprintf(line, sizeof line, "%04X  ", static_cast<unsigned>(at));
    char *p = line + len;
    char *chars = p + 48 + 1;
    for (size_t j = 0; j < 16; ++j, p += 3) {
      if (at + j >= n) {
        p[0] = p[1] = p[2] = ' ';
        continue;
      }
      uint8_t b = bytes[at + j];
      p[0] = kHex[b >> 4];
      p[1] = kHex[b & 15];
      p[2] = j == 7 ? ':' : ' ';
      *chars++ = (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : '.';
    }
    *p = ' ';
    *chars++ = '\r';
    *chars++ = '\n';
    out.append(indent, ' ');
    out.append(line, static_cast<size_t>(chars - line));
  }
  return out;
}

}  // namespace nqfuzz
