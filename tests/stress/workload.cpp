#include "workload.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <atomic>

#include "core/admission.h"
#include "netquill.h"
#include "platform/os.h"
#include "support/syserr.h"
#include "support/test_env.h"

namespace nqstress {
namespace {

using nqtest::SetSystemError;
using nqtest::SystemErrorIs;

constexpr int kMaxSend = 128;

thread_local int t_error;  // the caller's socket error code
std::atomic<long> g_calls[2];

int NQ_CALL GetErrorA() {
  g_calls[0]++;
  int code = t_error;
  t_error = -77;
  return code;
}

void NQ_CALL SetErrorA(int code) {
  g_calls[0]++;
  t_error = code;
}

int NQ_CALL GetErrorB() {
  g_calls[1]++;
  int code = t_error;
  t_error = -78;
  return code;
}

void NQ_CALL SetErrorB(int code) {
  g_calls[1]++;
  t_error = code;
}

// Counts the faults a thread sees and keeps the first one's description.
class Faults {
 public:
  explicit Faults(std::string *why) : why_(why) {}

  void Check(bool ok, const char *what, int k, int i) {
    if (ok) return;
    if (count_++ == 0 && why_ != nullptr) {
      char text[160];
      snprintf(text, sizeof text, "%s (owner %d, round %d)", what, k, i);
      *why_ = text;
    }
  }

  int count() const { return count_; }

 private:
  std::string *why_;
  int count_ = 0;
};

std::string Text(const char *format, ...) __attribute__((format(printf, 1, 2)));

std::string Text(const char *format, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, format);
  vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  return buf;
}

uint32_t SelfId() { return nq::g_os.thread_id(); }

int SendLength(int k, int i) { return 16 + (k * 37 + i * 53) % 113; }

// Every fifth send moves less than was asked for.
int SendMoved(int k, int i) {
  int len = SendLength(k, i);
  return i % 5 == 4 ? len - 1 - i % 9 : len;
}

bool FailsReceive(int i) { return i % 7 == 6; }

// The bytes of tracer k's i-th send: k and i in the first five bytes, then
// bytes of every value from a generator seeded by both.
void FillSend(int k, int i, unsigned char *out, int n) {
  unsigned char head[5] = {
      static_cast<unsigned char>(k), static_cast<unsigned char>(k >> 8),
      static_cast<unsigned char>(i), static_cast<unsigned char>(i >> 8),
      static_cast<unsigned char>(i >> 16)};
  uint32_t state =
      static_cast<uint32_t>(k) * 1000003u + static_cast<uint32_t>(i);
  for (int j = 0; j < n; ++j) {
    if (j < 5) {
      out[j] = head[j];
      continue;
    }
    state = state * 1664525u + 1013904223u;
    out[j] = static_cast<unsigned char>(state >> 24);
  }
}

std::string Hex(const unsigned char *bytes, int n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (int j = 0; j < n; ++j) {
    out += kDigits[bytes[j] >> 4];
    out += kDigits[bytes[j] & 15];
  }
  return out;
}

const char *Tag(int code) { return code > nq::kLastHardError ? "WRN" : "ERR"; }

std::string Compare(const std::vector<std::string> &want,
                    const std::vector<std::string> &got) {
  size_t n = want.size() < got.size() ? want.size() : got.size();
  for (size_t i = 0; i < n; ++i) {
    if (want[i] != got[i]) {
      return Text("record %u differs:\n  want: %s\n  got:  %s",
                  static_cast<unsigned>(i), want[i].c_str(), got[i].c_str());
    }
  }
  if (want.size() != got.size()) {
    return Text("%u records, want %u; first extra or missing: %s",
                static_cast<unsigned>(got.size()),
                static_cast<unsigned>(want.size()),
                (got.size() > n ? got[n] : want[n]).c_str());
  }
  return "";
}

}  // namespace

int TracerErrorCode(int k) { return k % 4 == 3 ? 11001 + k : 10100 + k; }

void InstallErrorHooks(int pair) {
  TraceErrorHooks hooks = {GetErrorA, SetErrorA};
  if (pair == 1) hooks = {GetErrorB, SetErrorB};
  WSASetupTrace(&hooks);
}

long ErrorHookCalls(int pair) { return g_calls[pair].load(); }

int RunTracer(int k, int iterations, const std::string &file,
              std::string *why) {
  Faults faults(why);
  unsigned char buf[kMaxSend];
  char *data = reinterpret_cast<char *>(buf);
  if (WSAEnableTrace(file.c_str(), TRACE_FLAG_DUMP) != 1) {
    faults.Check(false, "enable refused", k, -1);
    return faults.count();
  }
  std::string note =
      Text("tracer %d thread 0x%lX buffer 0x%llx", k,
           static_cast<unsigned long>(SelfId()),
           static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(buf)));
  faults.Check(NetQuillWrite(0, note.c_str(), 0) == 1, "note not written", k,
               -1);
  const int code = TracerErrorCode(k);
  const int other = 20000 + k;  // what a successful call leaves
  const int sys = 3000 + k;     // the system error state the call left
  struct sockaddr_in sin;
  struct hostent host;
  char name[32];
  unsigned char address[4];
  char *list[2] = {reinterpret_cast<char *>(address), nullptr};
  for (int i = 0; i < iterations; ++i) {
    int len = SendLength(k, i);
    int moved = SendMoved(k, i);
    FillSend(k, i, buf, moved);
    t_error = other;
    SetSystemError(sys);
    bool ok = TX_send(moved, k, data, len, i) == moved;
    faults.Check(ok && t_error == other && SystemErrorIs(sys), "send", k, i);

    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    const unsigned char port[2] = {static_cast<unsigned char>((1000 + k) >> 8),
                                   static_cast<unsigned char>(1000 + k)};
    const unsigned char to[4] = {10, static_cast<unsigned char>(k),
                                 static_cast<unsigned char>(i >> 8),
                                 static_cast<unsigned char>(i)};
    memcpy(&sin.sin_port, port, 2);
    memcpy(&sin.sin_addr, to, 4);
    t_error = code;
    SetSystemError(sys);
    ok = TX_connect(-1, k, reinterpret_cast<struct sockaddr *>(&sin), 16) == -1;
    faults.Check(ok && t_error == code && SystemErrorIs(sys), "connect", k, i);

    snprintf(name, sizeof name, "h%d-%d", k, i);
    memcpy(address, to, 4);
    address[0] = 172;
    memset(&host, 0, sizeof host);
    host.h_name = name;
    host.h_addr_list = list;
    host.h_length = 4;
    t_error = other;
    SetSystemError(sys);
    ok = TX_gethostbyname(&host, name) == &host;
    faults.Check(ok && t_error == other && SystemErrorIs(sys), "gethostbyname",
                 k, i);

    if (FailsReceive(i)) {
      t_error = code;
      SetSystemError(sys);
      ok = TX_recv(-1, k, data, len, 0) == -1;
      faults.Check(ok && t_error == code && SystemErrorIs(sys), "recv", k, i);
    }
  }
  faults.Check(WSADisableTrace() == 1, "disable", k, iterations);
  return faults.count();
}

int RunToggler(int j, int cycles, const std::string &file, std::string *why) {
  Faults faults(why);
  const std::string nested = file + ".nested";
  for (int c = 0; c < cycles; ++c) {
    faults.Check(WSAEnableTrace(file.c_str(), 0) == 1, "enable", j, c);
    std::string note = Text("toggler %d cycle %d thread 0x%lX", j, c,
                            static_cast<unsigned long>(SelfId()));
    faults.Check(NetQuillWrite(0, note.c_str(), 0) == 1, "note", j, c);
    // A nested enable keeps the first one's path and flags.
    faults.Check(WSAEnableTrace(nested.c_str(), 7) == 1, "nested enable", j, c);
    faults.Check(TX_listen(0, 9000 + j, c) == 0, "listen", j, c);
    faults.Check(WSADisableTrace() == 1, "inner disable", j, c);
    faults.Check(WSADisableTrace() == 1, "outer disable", j, c);
    // Off again: others still trace, so the hooks run, but write nothing.
    faults.Check(TX_listen(0, 9500 + j, c) == 0, "listen while off", j, c);
    faults.Check(NetQuillWrite(0, "off", 0) == 0, "write while off", j, c);
  }
  return faults.count();
}

int RunParentNote(std::string *why) {
  Faults faults(why);
  std::string note =
      Text("parent thread 0x%lX", static_cast<unsigned long>(SelfId()));
  faults.Check(NetQuillWrite(0, note.c_str(), 0) == 1, "parent note", 0, 0);
  return faults.count();
}

std::string OwnerOfText(const std::string &text) {
  int n = 0;
  char c = 0;
  if (text.compare(0, 16, "started process ") == 0 ||
      text.compare(0, 16, "stopped process ") == 0) {
    return "";
  }
  if (sscanf(text.c_str(), "tracer %d%c", &n, &c) == 2 && c == ' ') {
    return Text("tracer %d", n);
  }
  if (sscanf(text.c_str(), "toggler %d%c", &n, &c) == 2 && c == ' ') {
    return Text("toggler %d", n);
  }
  if (text.compare(0, 7, "parent ") == 0) return "parent";
  for (const char *call :
       {"send(%d%c", "connect(%d%c", "recv(%d%c", "gethostbyname(\"h%d%c"}) {
    if (sscanf(text.c_str(), call, &n, &c) == 2 && (c == ',' || c == '-')) {
      return Text("tracer %d", n);
    }
  }
  if (sscanf(text.c_str(), "listen(%d%c", &n, &c) == 2 && c == ',' &&
      n >= 9000 && n < 9500) {
    return Text("toggler %d", n - 9000);
  }
  return "stray";
}

std::string OwnerOfDump(const std::vector<unsigned char> &bytes) {
  if (bytes.size() < 5) return "stray";
  return Text("tracer %d", bytes[0] | bytes[1] << 8);
}

bool ParseNote(const std::string &text, std::string *owner, uint32_t *tid) {
  int n = 0, cycle = 0;
  unsigned long id = 0;
  unsigned long long buffer = 0;
  if (sscanf(text.c_str(), "tracer %d thread 0x%lX buffer 0x%llx", &n, &id,
             &buffer) == 3) {
    *owner = Text("tracer %d", n);
  } else if (sscanf(text.c_str(), "toggler %d cycle %d thread 0x%lX", &n,
                    &cycle, &id) == 3) {
    *owner = Text("toggler %d", n);
  } else if (sscanf(text.c_str(), "parent thread 0x%lX", &id) == 1) {
    *owner = "parent";
  } else {
    return false;
  }
  *tid = static_cast<uint32_t>(id);
  return true;
}

std::string CheckTracer(int k, int iterations,
                        const std::vector<std::string> &got,
                        uint32_t want_tid) {
  unsigned long tid = 0;
  unsigned long long buffer = 0;
  int n = -1;
  if (got.size() < 2 ||
      sscanf(got[1].c_str(), "INF: tracer %d thread 0x%lX buffer 0x%llx", &n,
             &tid, &buffer) != 3 ||
      n != k) {
    return Text("tracer %d: no note as its first record", k);
  }
  if (want_tid != 0 && tid != want_tid) {
    return Text("tracer %d: note names thread 0x%lX, not 0x%lX", k, tid,
                static_cast<unsigned long>(want_tid));
  }
  const int code = TracerErrorCode(k);
  std::vector<std::string> want;
  want.push_back(nqtest::StartBanner(static_cast<uint32_t>(tid), "<date>"));
  want.push_back(
      Text("INF: tracer %d thread 0x%lX buffer 0x%llx", k, tid, buffer));
  unsigned char bytes[kMaxSend];
  for (int i = 0; i < iterations; ++i) {
    int len = SendLength(k, i);
    int moved = SendMoved(k, i);
    want.push_back(Text("INF: send(%d, 0x%llx, %d, %d) returned %d", k, buffer,
                        len, i, moved));
    FillSend(k, i, bytes, moved);
    want.push_back("DUMP " + Hex(bytes, moved));
    want.push_back(Text("%s: connect(%d, 10.%d.%d.%d:%d, 16) returned -1 [%d]",
                        Tag(code), k, k & 255, (i >> 8) & 255, i & 255,
                        1000 + k, code));
    want.push_back(
        Text("INF: gethostbyname(\"h%d-%d\") returned 172.%d.%d.%d (h%d-%d)", k,
             i, k & 255, (i >> 8) & 255, i & 255, k, i));
    if (FailsReceive(i)) {
      want.push_back(Text("%s: recv(%d, 0x%llx, %d, 0) returned -1 [%d]",
                          Tag(code), k, buffer, len, code));
    }
  }
  want.push_back(nqtest::StopBanner(static_cast<uint32_t>(tid), "<date>"));
  std::string diff = Compare(want, got);
  return diff.empty() ? "" : Text("tracer %d: ", k) + diff;
}

std::string CheckToggler(int j, int cycles, const std::vector<std::string> &got,
                         uint32_t want_tid) {
  unsigned long tid = 0;
  int n = -1, c = -1;
  if (got.size() < 2 ||
      sscanf(got[1].c_str(), "INF: toggler %d cycle %d thread 0x%lX", &n, &c,
             &tid) != 3 ||
      n != j) {
    return Text("toggler %d: no note as its first record", j);
  }
  if (want_tid != 0 && tid != want_tid) {
    return Text("toggler %d: note names thread 0x%lX, not 0x%lX", j, tid,
                static_cast<unsigned long>(want_tid));
  }
  std::vector<std::string> want;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    want.push_back(nqtest::StartBanner(static_cast<uint32_t>(tid), "<date>"));
    want.push_back(
        Text("INF: toggler %d cycle %d thread 0x%lX", j, cycle, tid));
    want.push_back(Text("INF: listen(%d, %d) returned 0", 9000 + j, cycle));
    want.push_back(nqtest::StopBanner(static_cast<uint32_t>(tid), "<date>"));
  }
  std::string diff = Compare(want, got);
  return diff.empty() ? "" : Text("toggler %d: ", j) + diff;
}

std::string CheckParent(const std::vector<std::string> &got) {
  unsigned long tid = 0;
  if (got.size() < 2 ||
      sscanf(got[1].c_str(), "INF: parent thread 0x%lX", &tid) != 1) {
    return "parent: no note as its first record";
  }
  std::vector<std::string> want = {
      nqtest::StartBanner(static_cast<uint32_t>(tid), "<date>"),
      Text("INF: parent thread 0x%lX", tid),
      nqtest::StopBanner(static_cast<uint32_t>(tid), "<date>")};
  std::string diff = Compare(want, got);
  return diff.empty() ? "" : "parent: " + diff;
}

}  // namespace nqstress
