// NetQuillWrite with any kind, flags, length and bytes, on a call that
// failed or not, with any error code and tick: the result and every byte
// appended must be what the record rules and the line layouts say, and
// nothing else may be touched.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "core/admission.h"
#include "core/context.h"
#include "core/error_bridge.h"
#include "fuzz_input.h"
#include "fuzz_sink.h"
#include "netquill.h"
#include "output/dump.h"

#ifndef NQ_FUZZ_ENTRY
#define NQ_FUZZ_ENTRY LLVMFuzzerTestOneInput
#endif

namespace {

constexpr size_t kStretchTo = 0x10000 + 0x1000;  // past the 64 KiB mark

std::string Two(int v) {
  std::string s = std::to_string(v);
  return s.size() < 2 ? "0" + s : s;
}

// The text line the writer must append, from the record's parts.
std::string TextLine(const std::string &module, const nq::LocalTime &t,
                     uint32_t elapsed, const char *tag, const char *text,
                     size_t length, bool with_code, int code) {
  std::string e = std::to_string(elapsed);
  while (e.size() < 4) e = "0" + e;
  std::string line = module + " " + Two(t.hour) + Two(t.minute) +
                     Two(t.second) + " " + e + " " + tag;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\n') line += '\r';
    line += text[i];
  }
  if (with_code) line += " [" + std::to_string(code) + "]";
  return line + "\r\n";
}

}  // namespace

extern "C" int NQ_FUZZ_ENTRY(const uint8_t *data, size_t size) {
  nqfuzz::SetUp();
  nqfuzz::Input in(data, size);
  const uint8_t mode = in.U8();
  const bool in_call = mode & 1;               // between capture and restore
  const bool failed = mode & 2;                // the call failed
  const bool stretch = (mode & 0x24) == 0x24;  // bytes repeated past 64 KiB
  const bool disk_full = mode & 8;             // the append fails
  const bool to_nul = mode & 16;               // length 0: up to the NUL
  const bool tables = mode & 64;               // full dump lines by table
  const uint32_t kind = in.U32();
  const uint32_t flags = in.U32();
  const int code = static_cast<int>(in.U32());
  const uint32_t tick = in.U32();
  nq::LocalTime time;
  time.year = 2026;
  time.month = 1 + static_cast<int>(in.Below(12));
  time.day = 1 + static_cast<int>(in.Below(28));
  time.hour = static_cast<int>(in.Below(24));
  time.minute = static_cast<int>(in.Below(60));
  time.second = static_cast<int>(in.Below(60));
  const uint32_t pick = in.U32();
  std::vector<uint8_t> bytes = in.Rest();
  while (stretch && !bytes.empty() && bytes.size() < kStretchTo) {
    size_t n = bytes.size();
    bytes.resize(2 * n);
    memcpy(bytes.data() + n, bytes.data(), n);
  }
  if (bytes.size() > kStretchTo) bytes.resize(kStretchTo);
  const size_t length = to_nul ? 0 : pick % (bytes.size() + 1);
  bytes.push_back(0);  // a text record may be read up to its terminator
  const char *text = reinterpret_cast<const char *>(bytes.data());

  WSASetTraceFlags(flags);
  nqfuzz::SetClock(tick, time);
  nqfuzz::SetCallerError(code);
  nqfuzz::FailAppends(disk_full);
  nq::UseTableDump(tables);
  nq::TraceContext *ctx = nq::FindContext();
  nq::TraceContext *captured = in_call ? nq::CaptureCallError(failed) : ctx;
  const uint32_t last_tick = ctx->last_tick;
  const int32_t seen_code = nq::LastError();
  nqfuzz::TakeRecords();
  nqfuzz::ResetHandBacks();
  int result = NetQuillWrite(kind, text, static_cast<uint32_t>(length));
  std::vector<std::string> records = nqfuzz::TakeRecords();
  if (in_call) nq::RestoreCallError(captured);

  // What the record rules say.
  const bool dump = (kind & TRACE_KIND_DUMP) != 0;
  const nq::Admission rule =
      nq::Admit(flags, kind, in_call && failed, seen_code);
  const bool admitted = rule.write;
  const bool warning = rule.warning;
  const bool mark = rule.failed;
  const std::string module = ctx->module_name;
  std::string want;
  if (admitted && dump) {
    want = nqfuzz::DumpText(module.size() + 1, bytes.data(), length);
  } else if (admitted) {
    size_t n = length == 0 ? strlen(text) : length;
    const char *tag = warning ? "WRN: " : mark ? "ERR: " : "INF: ";
    want = TextLine(module, time, tick - last_tick, tag, text, n,
                    mark || warning, seen_code);
  }

  std::string got;
  for (const std::string &r : records) got += r;
  if (!admitted && !records.empty())
    nqfuzz::Fail("a refused record was appended", "", got);
  if (admitted && records.empty())
    nqfuzz::Fail("an admitted record was not appended", want);
  if (disk_full && admitted && dump && records.size() != 1) {
    nqfuzz::Fail("a failed dump went on after its failed append", want, got);
  }
  if (!disk_full && got != want) nqfuzz::Fail("record bytes", want, got);
  if (disk_full && want.compare(0, got.size(), got) != 0) {
    nqfuzz::Fail("record bytes before the failed append", want, got);
  }
  if (result != (admitted && !disk_full ? 1 : 0)) {
    nqfuzz::Fail("result", admitted && !disk_full ? "1" : "0",
                 std::to_string(result));
  }
  // Only a text line that was written moves the last tick.
  uint32_t want_tick = admitted && !dump && !disk_full ? tick : last_tick;
  if (ctx->last_tick != want_tick) {
    nqfuzz::Fail("last tick", std::to_string(want_tick),
                 std::to_string(ctx->last_tick));
  }
  if (in_call && nqfuzz::HandedBack() != code) {
    nqfuzz::Fail("error code handed back", std::to_string(code),
                 std::to_string(nqfuzz::HandedBack()));
  }
  return 0;
}
