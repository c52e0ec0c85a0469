// What the benchmark cases share: the arguments of the traced calls, the
// caller's error code, scratch files, the exact bytes a record appends, and
// a bystander thread that keeps a trace open. Both front ends (Google
// Benchmark on the host, the plain harness under Wine) use these, so they
// measure the same things.
#ifndef NQ_BENCH_SCENES_H
#define NQ_BENCH_SCENES_H

#include <stddef.h>

#include <string>

#include "empty_call.h"
#include "netquill.h"

namespace nqb {

constexpr int kRefused = 10061;       // WSAECONNREFUSED: an error record
constexpr size_t kDumpBytes = 65536;  // one 64 KiB receive
constexpr NQ_SOCKET kSocket = 3;

// 10.1.2.3:80, the address of every connect.
extern const struct sockaddr *const g_address;
constexpr NQ_SOCKLEN kAddressLen = 16;
// kDumpBytes of text and binary bytes: what a receive moved.
extern NQ_IOBUF *const g_receive;

// The calls the cases time.
inline int EmptyConnect() {
  return NqbEmptyConnect(0, kSocket, g_address, kAddressLen);
}
inline int HookConnect(int result) {
  return TX_connect(result, kSocket, g_address, kAddressLen);
}
inline NQ_IORESULT HookRecv64K() {
  return TX_recv(static_cast<NQ_IORESULT>(kDumpBytes), kSocket, g_receive,
                 static_cast<NQ_IOLEN>(kDumpBytes), 0);
}

// About as long as a written record of pure arithmetic, on the caller's
// thread alone: how well the machine runs two threads at the moment, the
// reference of the threads case (another program busy on a core shows
// here first).
unsigned Arithmetic(unsigned seed);

// Installs get/set callbacks over a per-thread error code, as a program
// hands over its socket library's own.
void InstallErrorBridge();
void SetCallerError(int code);

// A fresh directory for the run's trace files, removed by RemoveBenchDir.
const std::string &BenchDir();
std::string BenchFile(const std::string &name);
void RemoveBenchDir();
void Truncate(const std::string &path);
long long SizeOf(const std::string &path);

// The bytes that one failed TX_connect appends to a trace with flags 0,
// and that one 64 KiB TX_recv appends with flags 4 (call line and dump).
std::string CaptureConnectRecord();
std::string CaptureDumpRecord();

// Another thread holding a trace context while it waits, so hooks on
// threads without one get past the guard.
void StartBystander();
void StopBystander();

}  // namespace nqb

#endif
